// The shell over the PC's own browser, as Windows runs it, on Linux for its tests: the same
// DevToolsShell with the desktop's part replaced by lines on standard input and output.
//   options:  --browser PATH (else the machine's Chromium), --switch S (repeatable, to the
//             browser), --device-id ID (else this PC's)
//   stdin:    "env N" shows environment N (from 0), "front" brings the window forward,
//             "close" closes it
//   stdout:   "ready BROWSER_PID AGENT_PID" once the front end is asked for,
//             "elsewhere URL" for each site the shell leaves to the desktop's browser,
//             "error TEXT" for a message the user would see in a box
// Ends when the window is gone or the agent ends; its exit code is the shell's.
#include "deviceid.h"
#include "devtoolsshell.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {
std::mutex outputLock;

void say(const std::string& line)
{
    const std::lock_guard<std::mutex> locked(outputLock);
    std::cout << line << std::endl;
}

std::filesystem::path dataHome()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
        return xdg;
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home ? home : "/") / ".local/share";
}

class QuitFlag {
public:
    void set()
    {
        const std::lock_guard<std::mutex> locked(mutex);
        quit = true;
        changed.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> locked(mutex);
        changed.wait(locked, [this] { return quit; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool quit = false;
};
} // namespace

int main(int argc, char** argv)
{
    DevToolsShell::Platform platform;
    platform.paths.installFolder = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    platform.paths.dataFolder = dataHome() / "vellox-browser";
    platform.agentProgram = "vellox";
    platform.agentSettings = dataHome() / "kelmora/vellox/cfg.dat";
    platform.browser = findBrowser();
    bool deviceIdGiven = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--browser") {
            platform.browser = BrowserInstallation {"Chromium", argv[i + 1]};
        } else if (option == "--switch") {
            platform.browserSwitches.push_back(argv[i + 1]);
        } else if (option == "--device-id") {
            platform.deviceId = argv[i + 1];
            deviceIdGiven = true;
        }
    }
    if (!deviceIdGiven)
        platform.deviceId = computeDeviceId();

    QuitFlag quit;
    platform.showError = [](const std::string& text) { say("error " + text); };
    platform.requestQuit = [&quit] { quit.set(); };
    platform.openElsewhere = [](const std::string& url) { say("elsewhere " + url); };

    DevToolsShell shell(std::move(platform));
    if (const std::optional<int> refused = shell.start())
        return *refused;
    say("ready " + std::to_string(shell.browserProcessId()) + " " + std::to_string(shell.agentProcessId()));

    // Left blocked in its read when the shell ends: the process ends with it.
    std::thread([&shell, &quit] {
        std::string line;
        while (std::getline(std::cin, line)) {
            if (line.rfind("env ", 0) == 0)
                shell.showEnvironment(size_t(std::atoi(line.c_str() + 4)));
            else if (line == "front")
                shell.bringToFront();
            else if (line == "close")
                shell.close();
        }
    }).detach();

    quit.wait();
    const int code = shell.finish();
    // Without waiting for the reader above, which may still hold the shell.
    std::cout.flush();
    std::_Exit(code);
}
