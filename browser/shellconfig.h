#pragma once

#include <QByteArray>
#include <QString>

#include <string>
#include <vector>

// Where the shell's files are. The install folder is the executable's (app.dat, the agent);
// the data folder is the user's own (env.dat, the web profile, the three logs), since the
// install folder may be read-only or shared.
struct ShellPaths {
    QString installFolder; // with its trailing separator
    QString dataFolder;    // without
    QString agentSettings; // the agent's cfg.dat in its own data folder

    static ShellPaths forThisProcess();

    QString appDat() const { return installFolder + QStringLiteral("app.dat"); }
    QString envDat() const { return dataFolder + QStringLiteral("/env.dat"); }
    QString startupLog() const { return dataFolder + QStringLiteral("/browser_debug.log"); }
    QString engineLog() const { return dataFolder + QStringLiteral("/cef_debug.log"); }
    QString keyLog() const { return dataFolder + QStringLiteral("/key_debug.log"); }
    QString profileFolder() const { return dataFolder + QStringLiteral("/profile"); }
    QString cacheFolder() const { return dataFolder + QStringLiteral("/cache"); }
};

// One server environment of app.dat. Strings are UTF-8 as in the file.
struct ShellEnvironment {
    QByteArray key;
    QByteArray name; // may be empty
    QByteArray url;
};

struct ShellConfig {
    QString appName;         // the window title
    QByteArray frontEndUrl;  // what the window loads
    std::vector<ShellEnvironment> environments; // in file order
    QByteArray builtInBase;  // the front end of the build, when there is one
    bool devToolsAllowed = false; // "devmode" is "1" in the agent's settings or in app.dat

    // The addresses whose origins the shell's windows show: the environments' and the built-in one.
    std::vector<std::string> shellUrls() const;
};

extern const char* const kDefaultAppName;
// The page shown when app.dat lists no environment and the build names no front end.
extern const char* const kNoEnvironmentPage;

// app.dat is searched as text, not parsed: the value of the first string member `name`,
// escapes left as they stand; empty when there is none.
QByteArray extractJsonString(const QByteArray& text, const QByteArray& name);

// The environment the user chose in this shell; empty when none was chosen. A byte-order mark
// and a line end or blanks that an editor added do not become part of the key.
QByteArray readEnvKey(const ShellPaths& paths);
bool writeEnvKey(const ShellPaths& paths, const QByteArray& key);

// `base` with a trailing "/" ensured, then the front end's entry path.
QByteArray frontEndUrlFor(const QByteArray& base);

// Fills `config` from app.dat and env.dat; false only when app.dat cannot be read.
// `builtInBase` serves when app.dat lists no environment; when it is empty too, the
// no-environment page is shown.
bool loadShellConfig(const ShellPaths& paths, const QByteArray& builtInBase, ShellConfig& config);
