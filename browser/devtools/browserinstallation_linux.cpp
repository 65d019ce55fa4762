#include "browserinstallation.h"

#include <unistd.h>

// Linux keeps the WebEngine shell; this side serves the DevTools-driven shell's tests, with
// whatever Chromium-based browser the machine has.
std::optional<BrowserInstallation> findBrowser()
{
    const BrowserInstallation candidates[] = {
        {"Microsoft Edge", "/usr/bin/microsoft-edge"},
        {"Google Chrome", "/usr/bin/google-chrome"},
        {"Chromium", "/usr/bin/chromium"},
        {"Chromium", "/usr/bin/chromium-browser"},
    };
    for (const BrowserInstallation& candidate : candidates) {
        if (access(candidate.program.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

std::string remoteDebuggingPolicy(const BrowserInstallation&)
{
    return {};
}

std::vector<std::string> platformBrowserSwitches()
{
    if (geteuid() == 0)
        return {"--no-sandbox"};
    return {};
}
