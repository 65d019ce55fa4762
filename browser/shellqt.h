#pragma once

#include "shellconfig.h"

#include <QString>
#include <QUrl>

// What the WebEngine shell adds to the shell's plain configuration: Qt's folders and the
// built-in page.

// The install folder is the executable's, the data folder "vellox-browser" in the user's
// data location.
ShellPaths shellPathsForThisProcess();

QString qtPath(const std::filesystem::path& path);

// The agent's settings, cfg.dat in its data folder ("kelmora/vellox" in the user's data location).
std::filesystem::path agentSettingsForThisProcess();

// The page shown when app.dat lists no environment and the build names no front end.
extern const char* const kNoEnvironmentPage;

// The front end of `config`, or the built-in page that names app.dat when it has none.
QUrl startPage(const ShellConfig& config, const ShellPaths& paths);
