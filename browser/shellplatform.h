#pragma once

#include <QString>

// The few process-wide facts and changes the shell's start needs from the system.
namespace ShellPlatform {

// Chromium refuses to run its sandbox for the administrator.
bool runsAsAdministrator();

// From here on, what the process and the engine's helper processes write to standard error is
// appended to `path`, which is kept to five files of 5 MB ("path.1" the next older). False (and
// nothing changed) when the file cannot be opened.
bool redirectStandardError(const QString& path);

} // namespace ShellPlatform
