#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// The PC's own Chromium-based browser, which the shell drives as its window (the platform's
// part finds it).
struct BrowserInstallation {
    std::string name; // "Microsoft Edge", "Google Chrome", "Chromium"
    std::filesystem::path program;
};

// Edge where the system registers it, else Chrome (where neither exists, as on Linux, a
// Chromium). None when no browser is installed.
std::optional<BrowserInstallation> findBrowser();

// The policy that forbids the shell to drive `browser` (remote debugging turned off for it), as
// "where: name = value"; empty when none is set.
std::string remoteDebuggingPolicy(const BrowserInstallation& browser);

// Switches this system's browser needs besides the shell's own (a browser run by the
// administrator on Linux needs its sandbox off).
std::vector<std::string> platformBrowserSwitches();
