#pragma once

#include "browserdriver.h"
#include "browserinstallation.h"
#include "shellconfig.h"
#include "tiedprocess.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The browser shell over the PC's own browser, from the program's start to its end, apart from
// what the desktop adds (single instance, the window the agent looks for, the hot key and the
// environment menu): the start-up log, app.dat and env.dat, the agent tied to the shell, the
// browser as the shell's window, the environment switch.
class DevToolsShell {
public:
    // What the system around the shell provides.
    struct Platform {
        ShellPaths paths;
        std::filesystem::path agentProgram;  // in the install folder
        std::filesystem::path agentSettings; // the agent's cfg.dat ("devmode")
        std::string builtInBase;             // the front end when app.dat lists none
        std::string deviceId;                // empty: no device cookie
        std::optional<BrowserInstallation> browser;
        std::vector<std::string> browserSwitches;     // besides the shell's own
        std::function<bool()> agentAlreadyRunning;    // optional
        // A message the user must see before the shell leaves; on the calling (main) thread.
        std::function<void(const std::string& text)> showError;
        // Ends the main loop soon; from any thread.
        std::function<void()> requestQuit;
        // Shows a site outside the shell in the desktop's browser; from any thread. Optional.
        std::function<void(const std::string& url)> openElsewhere;
    };

    explicit DevToolsShell(Platform platform);
    ~DevToolsShell();

    // Everything up to the front end showing; the exit code when the shell cannot run.
    std::optional<int> start();
    // After the main loop: the browser and the agent end; the exit code.
    int finish();

    const ShellPaths& paths() const { return platform.paths; }
    const ShellConfig& config() const { return shellConfig; }
    bool devToolsAllowed() const { return devTools; }
    std::int64_t browserProcessId() const;
    std::int64_t agentProcessId() const { return agent.processId(); }

    // Stores the environment at `index` as the user's choice and shows its front end.
    void showEnvironment(size_t index);
    void bringToFront();
    // Closes the window; the main loop ends once the browser has closed it.
    void close();

    // The page shown when app.dat lists no environment and the build names no front end.
    static std::string noEnvironmentPage(const ShellPaths& paths);

private:
    void startAgent();
    int refuse(const std::string& logLine, const std::string& message);

    Platform platform;
    ShellConfig shellConfig;
    bool devTools = false;
    TiedProcess agent;
    std::unique_ptr<BrowserDriver> driver;
};
