#include "devtoolsshell.h"

#include "noenvironmentpage.h"
#include "plainlog.h"
#include "shellrules.h"

#include <fstream>
#include <system_error>

namespace {
const char* const kNoBrowserMessage =
    "未找到 Microsoft Edge 或 Google Chrome，无法显示批阅页面。请安装其中之一后重新启动。\n\n"
    "Neither Microsoft Edge nor Google Chrome was found. Install one of them, then start again.";
const char* const kPolicyMessage =
    "浏览器的策略禁止远程调试（%s），本程序无法使用它显示批阅页面。请联系管理员。\n\n"
    "A policy of the browser forbids remote debugging (%s), which this program needs to show the "
    "pages. Ask your administrator.";
const char* const kBrowserFailedMessage =
    "无法打开浏览器窗口：%s\n\nThe browser window could not be opened: %s";

std::string filledIn(const char* pattern, const std::string& detail)
{
    std::string text(pattern);
    for (size_t at = text.find("%s"); at != std::string::npos; at = text.find("%s", at + detail.size()))
        text.replace(at, 2, detail);
    return text;
}

std::string base64(const std::string& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string encoded;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned value = unsigned((unsigned char)bytes[i]) << 16 | unsigned((unsigned char)bytes[i + 1]) << 8
            | unsigned((unsigned char)bytes[i + 2]);
        for (int shift = 18; shift >= 0; shift -= 6)
            encoded.push_back(alphabet[(value >> shift) & 63]);
    }
    if (i < bytes.size()) {
        unsigned value = unsigned((unsigned char)bytes[i]) << 16;
        if (i + 1 < bytes.size())
            value |= unsigned((unsigned char)bytes[i + 1]) << 8;
        encoded.push_back(alphabet[(value >> 18) & 63]);
        encoded.push_back(alphabet[(value >> 12) & 63]);
        encoded.push_back(i + 1 < bytes.size() ? alphabet[(value >> 6) & 63] : '=');
        encoded.push_back('=');
    }
    return encoded;
}

} // namespace

DevToolsShell::DevToolsShell(Platform platform)
    : platform(std::move(platform))
{
}

DevToolsShell::~DevToolsShell() = default;

std::string DevToolsShell::noEnvironmentPage(const ShellPaths& paths)
{
    return "data:text/html;charset=utf-8;base64," + base64(kNoEnvironmentHtml) + "#appdat="
        + BrowserDriver::percentEncoded(utf8Of(paths.appDat().make_preferred()));
}

std::optional<int> DevToolsShell::start()
{
    const ShellPaths& paths = platform.paths;
    std::error_code ignored;
    std::filesystem::create_directories(paths.dataFolder, ignored);
    setShellLogPath(paths.startupLog());
    shellLog("=== Browser shell starting ===");

    if (!loadShellConfig(paths, platform.builtInBase, shellConfig))
        return refuse("ERROR: Failed to load app.dat", "Failed to load app.dat");
    const std::string frontEnd =
        shellConfig.frontEndUrl.empty() ? noEnvironmentPage(paths) : shellConfig.frontEndUrl;
    shellLog("Config loaded, URL: " + frontEnd);
    devTools = siteAllowsDevTools(paths, platform.agentSettings);

    startAgent();

    if (!platform.browser)
        return refuse("ERROR: No browser found (Microsoft Edge or Google Chrome)", kNoBrowserMessage);
    const BrowserInstallation& browser = *platform.browser;
    const std::string policy = remoteDebuggingPolicy(browser);
    if (!policy.empty())
        return refuse("ERROR: Remote debugging is forbidden by policy: " + policy, filledIn(kPolicyMessage, policy));

    BrowserDriver::Settings settings;
    settings.profileFolder = paths.profileFolder();
    settings.engineLog = paths.engineLog();
    settings.windowTitle = shellConfig.appName;
    for (const ShellEnvironment& environment : shellConfig.environments)
        settings.shellUrls.push_back(environment.url);
    if (!platform.builtInBase.empty())
        settings.shellUrls.push_back(platform.builtInBase);
    settings.deviceId = platform.deviceId;
    settings.devToolsAllowed = devTools;
    settings.extraSwitches = platform.browserSwitches;
    BrowserDriver::Events events;
    events.log = [](const std::string& line) { shellLog(line); };
    events.openElsewhere = platform.openElsewhere;
    events.ended = [this](const std::string&) { platform.requestQuit(); };
    driver = std::make_unique<BrowserDriver>(std::move(settings), std::move(events));
    std::string error;
    if (!driver->start(browser, error))
        return refuse("ERROR: " + error, filledIn(kBrowserFailedMessage, error));

    driver->show(frontEnd);
    shellLog("CreateBrowser called, entering message loop");
    return std::nullopt;
}

void DevToolsShell::startAgent()
{
    // A second agent would only find the running one and exit, and the shell would close with it.
    if (platform.agentAlreadyRunning && platform.agentAlreadyRunning()) {
        shellLog("vellox already running");
        return;
    }
    TiedProcess::Command command;
    command.program = platform.paths.installFolder / platform.agentProgram;
    command.arguments = {"--hidden"};
    command.workingFolder = platform.paths.installFolder;
    std::string error;
    if (!agent.start(command, error)) {
        shellLog("ERROR: Failed to launch vellox: " + error);
        return;
    }
    shellLog("vellox launched");
    agent.watch([this] {
        shellLog("vellox ended: closing the window");
        platform.requestQuit();
    });
}

int DevToolsShell::refuse(const std::string& logLine, const std::string& message)
{
    shellLog(logLine);
    if (platform.showError)
        platform.showError(message);
    agent.terminate(TiedProcess::kDefaultGraceMs);
    return 1;
}

int DevToolsShell::finish()
{
    shellLog("Message loop exited");
    if (driver)
        driver->close();
    agent.terminate(TiedProcess::kDefaultGraceMs);
    shellLog("Child process terminated");
    if (driver)
        driver->finish();
    shellLog("=== Browser shell exiting ===");
    return 0;
}

std::int64_t DevToolsShell::browserProcessId() const
{
    return driver ? driver->browserProcessId() : 0;
}

void DevToolsShell::showEnvironment(size_t index)
{
    if (!driver || index >= shellConfig.environments.size())
        return;
    const ShellEnvironment& environment = shellConfig.environments[index];
    if (!writeEnvKey(platform.paths, environment.key))
        shellLog("ERROR: Failed to write env.dat");
    // The agent is not told: it keeps its own environment.
    driver->show(frontEndUrlFor(environment.url));
}

void DevToolsShell::bringToFront()
{
    if (driver)
        driver->bringToFront();
}

void DevToolsShell::close()
{
    if (driver)
        driver->close();
    else
        platform.requestQuit();
}
