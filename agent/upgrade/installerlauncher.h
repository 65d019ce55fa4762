#pragma once

#include "upgrade/packagekind.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

// Starts an installer so that it outlives the agent and the shell that started the agent: in a
// session of its own, holding none of the agent's descriptors or handles; and tells how it ended.
namespace InstallerLauncher {

// A started installer, watched until it ends.
class Watch {
public:
    virtual ~Watch() = default;
    // Empty while the installer runs; then how it ended: its exit status (0: installed),
    // 128 + the signal that ended it, or -1 when that cannot be known.
    virtual std::optional<int> exitStatus() = 0;
};

struct Launched {
    int error = 0;                // 0 when the installer runs, else the error number of the failed step
    std::unique_ptr<Watch> watch; // empty where the platform cannot follow the installer to its end
};

// Whether packages of this kind can be installed on this platform at all.
bool supports(KELUpgradePackage::Kind kind);

// Why this user cannot install a package of this kind into `installFolder` (the program
// folder): a text for the log, empty when they can.
std::string administratorNeeded(KELUpgradePackage::Kind kind, const std::string& installFolder);

// The command that installs the package at `path` (empty when unsupported).
std::vector<std::string> commandFor(KELUpgradePackage::Kind kind, const std::string& path);

// Starts `argv` detached.
Launched startDetached(const std::vector<std::string>& argv);

// Prepares the package (an AppImage gets its owner's execute bit) and starts its command.
Launched launch(KELUpgradePackage::Kind kind, const std::string& path);

// The text of an error number returned above.
std::string errorText(int error);

} // namespace InstallerLauncher
