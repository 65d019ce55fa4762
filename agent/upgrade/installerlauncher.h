#pragma once

#include "upgrade/packagekind.h"

#include <string>
#include <vector>

// Starts an installer so that it outlives the agent and the shell that started the agent: in a
// session of its own, holding none of the agent's descriptors or handles.
namespace InstallerLauncher {

// Whether packages of this kind can be installed on this platform.
bool supports(KELUpgradePackage::Kind kind);

// The command that installs the package at `path` (empty when unsupported).
std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path);

// Starts `argv` detached; 0 when the program runs, else the error number of the step that
// failed (the program not found, not executable, ...).
int startDetached(const std::vector<std::string>& argv);

// Prepares the package (an AppImage gets its owner's execute bit) and starts its command.
int launch(KELUpgradePackage::Kind kind, const std::string& path);

// The text of an error number returned above.
std::string errorText(int error);

} // namespace InstallerLauncher
