#include "browserdriver.h"

#include "rotatingfile.h"
#include "shellconfig.h"

#include <chrono>
#include <fstream>
#include <system_error>

namespace {
using Json = DevToolsClient::Json;

constexpr double kScreenShare = 0.8;
constexpr int kPortPollMs = 100;

// The browser writes its DevTools port and the browser target's path into this file of its
// profile once it listens.
bool readActivePort(const std::filesystem::path& file, int& port, std::string& path)
{
    std::ifstream in(file);
    std::string portLine;
    if (!std::getline(in, portLine) || !std::getline(in, path) || path.empty() || path.front() != '/')
        return false;
    port = std::atoi(portLine.c_str());
    return port > 0 && port <= 65535;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The browser's own pages (settings, new tab, history): no window of the shell shows them.
// Its error page is the app window's way of saying a server did not answer, and stays.
bool isBrowserPage(const std::string& url)
{
    return (startsWith(url, "chrome:") || startsWith(url, "edge:") || startsWith(url, "chrome-search:")
            || startsWith(url, "chrome-untrusted:"))
        && !startsWith(url, "chrome-error:");
}

bool isDevTools(const std::string& url)
{
    return startsWith(url, "devtools:");
}

std::string htmlEscaped(const std::string& text)
{
    std::string escaped;
    for (char c : text) {
        switch (c) {
        case '&': escaped += "&amp;"; break;
        case '<': escaped += "&lt;"; break;
        case '>': escaped += "&gt;"; break;
        case '"': escaped += "&quot;"; break;
        default: escaped.push_back(c);
        }
    }
    return escaped;
}

// What the browser keeps in its profile that the shell decides: pages asked for in Chinese (the
// browser's language switch reaches only a new profile, and not on every system), and an end
// that counts as orderly even when the shell was killed and took the browser with it, so the
// window never offers to restore earlier pages.
void prepareProfile(const std::filesystem::path& profileFolder)
{
    const std::filesystem::path folder = profileFolder / "Default";
    const std::filesystem::path file = folder / "Preferences";
    Json preferences = Json::object();
    {
        std::ifstream in(file, std::ios::binary);
        if (in) {
            Json read = Json::parse(in, nullptr, false);
            if (read.is_object())
                preferences = std::move(read);
        }
    }
    Json& intl = preferences["intl"];
    if (!intl.is_object())
        intl = Json::object();
    intl["accept_languages"] = "zh-CN,zh";
    Json& profile = preferences["profile"];
    if (!profile.is_object())
        profile = Json::object();
    profile["exit_type"] = "Normal";
    profile["exited_cleanly"] = true;
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << preferences.dump();
}

double secondsSinceEpoch()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}
} // namespace

BrowserDriver::BrowserDriver(Settings settings, Events events)
    : settings(std::move(settings))
    , events(std::move(events))
    , origins(this->settings.shellUrls)
{
}

BrowserDriver::~BrowserDriver()
{
    finish();
}

std::string BrowserDriver::percentEncoded(const std::string& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'
            || c == '.' || c == '~') {
            encoded.push_back(char(c));
        } else {
            encoded.push_back('%');
            encoded.push_back(hex[c >> 4]);
            encoded.push_back(hex[c & 15]);
        }
    }
    return encoded;
}

std::string BrowserDriver::startPage(const std::string& title)
{
    return "data:text/html;charset=utf-8," + percentEncoded("<!DOCTYPE html><title>" + htmlEscaped(title) + "</title>");
}

std::vector<std::string> BrowserDriver::switchesFor(int debuggingPort) const
{
    std::vector<std::string> switches {
        "--remote-debugging-port=" + std::to_string(debuggingPort),
        "--user-data-dir=" + utf8Of(settings.profileFolder),
        "--no-first-run",
        "--no-default-browser-check",
        "--lang=zh-CN",
        "--enable-logging",
        "--log-level=1",
        "--log-file=" + utf8Of(settings.engineLog),
        "--app=" + startPage(settings.windowTitle),
    };
    for (const std::string& extra : platformBrowserSwitches())
        switches.push_back(extra);
    for (const std::string& extra : settings.extraSwitches)
        switches.push_back(extra);
    return switches;
}

bool BrowserDriver::start(const BrowserInstallation& browser, std::string& error)
{
    std::error_code ignored;
    std::filesystem::create_directories(settings.profileFolder, ignored);
    // Left by an earlier run: only the port this browser opens counts.
    const std::filesystem::path portFile = settings.profileFolder / "DevToolsActivePort";
    std::filesystem::remove(portFile, ignored);
    prepareProfile(settings.profileFolder);
    // The browser starts its log afresh: the earlier runs' are kept beside it.
    if (std::filesystem::exists(settings.engineLog, ignored))
        RotatingFile::keepOlder(settings.engineLog, ShellRules::kEngineLogFiles);

    TiedProcess::Command command;
    command.program = browser.program;
    command.arguments = switchesFor(0); // a free port of the browser's choosing
    command.workingFolder = browser.program.parent_path();
    command.discardOutput = true; // it writes its own log
    std::string failure;
    if (!process.start(command, failure)) {
        error = "cannot start " + browser.name + ": " + failure;
        return false;
    }
    log("Browser started: " + browser.name + " (" + utf8Of(browser.program) + "), process "
        + std::to_string(process.processId()));

    int port = 0;
    std::string path;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (!readActivePort(portFile, port, path)) {
        // Waiting on the process, so a browser that ends is seen at once.
        if (process.waitForEnd(kPortPollMs)) {
            error = browser.name + " ended before it opened its DevTools port";
            process.terminate(0);
            return false;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            error = browser.name + " opened no DevTools port within " + std::to_string(kStartTimeoutMs / 1000)
                + " s; a policy may forbid remote debugging";
            process.terminate(kCloseGraceMs);
            return false;
        }
    }
    const std::string url = "ws://127.0.0.1:" + std::to_string(port) + path;
    if (!client.open(
            url, [this](const std::string& method, const Json& params, const std::string& sessionId) {
                onEvent(method, params, sessionId);
            },
            [this](const std::string& reason) { end("the browser closed its DevTools connection (" + reason + ")"); },
            kStartTimeoutMs, failure)) {
        error = "cannot connect to " + browser.name + " at " + url + ": " + failure;
        process.terminate(kCloseGraceMs);
        return false;
    }
    log("DevTools connected on port " + std::to_string(port));
    process.watch([this] { end("the browser ended"); });

    // Every target is seen (DevTools among them), and every page is held before its first
    // navigation until the rules are in place.
    client.call("Target.setDiscoverTargets", {{"discover", true}, {"filter", Json::array({Json::object()})}});
    client.call("Target.setAutoAttach", {{"autoAttach", true},
                                         {"waitForDebuggerOnStart", true},
                                         {"flatten", true},
                                         {"filter", Json::array({{{"type", "page"}}})}});
    return true;
}

void BrowserDriver::show(const std::string& url)
{
    client.post([this, url] {
        if (appWindowReady)
            navigate(url);
        else
            pendingUrl = url;
    });
}

void BrowserDriver::bringToFront()
{
    client.post([this] {
        if (appTarget.empty())
            return;
        const std::string session = appSession;
        client.call("Browser.getWindowForTarget", {{"targetId", appTarget}}, {}, [this, session](const auto& reply) {
            const Json& bounds = DevToolsClient::member(reply.result, "bounds");
            if (reply.ok && DevToolsClient::text(bounds, "windowState") == "minimized") {
                client.call("Browser.setWindowBounds",
                            {{"windowId", int(DevToolsClient::number(reply.result, "windowId"))},
                             {"bounds", {{"windowState", "normal"}}}});
            }
            client.call("Page.bringToFront", Json::object(), session);
        });
    });
}

void BrowserDriver::close()
{
    client.call("Browser.close");
}

void BrowserDriver::finish()
{
    if (process.isStarted() && !process.waitForEnd(kCloseGraceMs))
        log("The browser did not end by itself: ended");
    process.terminate(0);
    client.close();
}

void BrowserDriver::onEvent(const std::string& method, const Json& params, const std::string& sessionId)
{
    if (method == "Fetch.requestPaused") {
        onRequestPaused(params, sessionId);
    } else if (method == "Target.attachedToTarget") {
        onAttached(params);
    } else if (method == "Target.targetCreated" || method == "Target.targetInfoChanged") {
        onTargetInfo(DevToolsClient::member(params, "targetInfo"));
    } else if (method == "Target.detachedFromTarget") {
        pages.erase(DevToolsClient::text(params, "sessionId"));
    } else if (method == "Target.targetDestroyed") {
        const std::string targetId = DevToolsClient::text(params, "targetId");
        closingTargets.erase(targetId);
        if (!appTarget.empty() && targetId == appTarget)
            end("the window was closed");
    } else if (method == "Target.targetCrashed") {
        if (DevToolsClient::text(params, "targetId") == appTarget) {
            log("The page's process ended (" + DevToolsClient::text(params, "status") + "): reloading");
            client.call("Page.reload", Json::object(), appSession);
        }
    }
}

void BrowserDriver::onAttached(const Json& params)
{
    const std::string sessionId = DevToolsClient::text(params, "sessionId");
    const Json& info = DevToolsClient::member(params, "targetInfo");
    const std::string targetId = DevToolsClient::text(info, "targetId");
    const std::string url = DevToolsClient::text(info, "url");

    if (isDevTools(url)) { // allowed or not, DevTools are not a page of the shell's
        client.call("Runtime.runIfWaitingForDebugger", Json::object(), sessionId);
        client.call("Target.detachFromTarget", {{"sessionId", sessionId}});
        return;
    }
    if (isBrowserPage(url)) {
        closeTarget(targetId, "a page of the browser's own (" + url + ")");
        return;
    }
    Page page;
    page.targetId = targetId;
    if (appTarget.empty() && startsWith(url, "data:")) {
        page.isApp = true;
        appTarget = targetId;
        appSession = sessionId;
        pages[sessionId] = page;
        prepareAppWindow(sessionId);
        return;
    }
    // A window a page opened: its first navigation is held until the rules apply to it.
    page.hasShownSomething = !url.empty() && url != "about:blank";
    pages[sessionId] = page;
    client.call("Fetch.enable", {{"patterns", Json::array({{{"urlPattern", "*"}, {"resourceType", "Document"},
                                                            {"requestStage", "Request"}}})}},
                sessionId);
    client.call("Runtime.runIfWaitingForDebugger", Json::object(), sessionId);
}

void BrowserDriver::prepareAppWindow(const std::string& sessionId)
{
    client.call("Fetch.enable", {{"patterns", Json::array({{{"urlPattern", "*"}, {"resourceType", "Document"},
                                                            {"requestStage", "Request"}}})}},
                sessionId);
    // 0.8 of the screen, centred, before the front end loads into it.
    client.call(
        "Runtime.evaluate", {{"expression", "[screen.width, screen.height]"}, {"returnByValue", true}}, sessionId,
        [this](const DevToolsClient::Reply& screen) {
            const Json& result = DevToolsClient::member(screen.result, "result");
            const auto value = result.find("value");
            const bool pair = value != result.end() && value->is_array() && value->size() == 2
                && (*value)[0].is_number() && (*value)[1].is_number();
            const int screenWidth = pair ? (*value)[0].get<int>() : 0;
            const int screenHeight = pair ? (*value)[1].get<int>() : 0;
            client.call("Browser.getWindowForTarget", {{"targetId", appTarget}}, {},
                        [this, screenWidth, screenHeight](const DevToolsClient::Reply& window) {
                            if (window.ok && screenWidth > 0 && screenHeight > 0) {
                                const int width = int(screenWidth * kScreenShare);
                                const int height = int(screenHeight * kScreenShare);
                                client.call("Browser.setWindowBounds",
                                            {{"windowId", int(DevToolsClient::number(window.result, "windowId"))},
                                             {"bounds",
                                              {{"left", (screenWidth - width) / 2},
                                               {"top", (screenHeight - height) / 2},
                                               {"width", width},
                                               {"height", height}}}});
                            }
                            appWindowReady = true;
                            if (!pendingUrl.empty())
                                navigate(std::exchange(pendingUrl, std::string()));
                        });
        });
    client.call("Runtime.runIfWaitingForDebugger", Json::object(), sessionId);
}

void BrowserDriver::navigate(const std::string& url)
{
    const std::string session = appSession;
    const auto go = [this, url, session] {
        log("Showing " + url);
        client.call("Page.navigate", {{"url", url}}, session, [this, url](const DevToolsClient::Reply& reply) {
            if (!reply.ok)
                log("ERROR: cannot show " + url + ": " + reply.error);
        });
    };
    const std::string cookieOrigin = origins.deviceCookieOrigin(url);
    if (settings.deviceId.empty() || cookieOrigin.empty()) {
        go();
        return;
    }
    const ShellRules::Origin origin = ShellRules::originOf(url);
    Json cookie {{"name", ShellRules::kDeviceCookieName},
                 {"value", settings.deviceId},
                 {"url", cookieOrigin + "/"},
                 {"path", "/"},
                 {"secure", origin.scheme == "https"},
                 {"expires", secondsSinceEpoch() + double(ShellRules::kDeviceCookieLifetimeSeconds)},
                 {"sourceScheme", origin.scheme == "https" ? "Secure" : "NonSecure"},
                 {"sourcePort", origin.port}};
    // Set before the page is asked for, so its first request carries it.
    client.call("Network.setCookie", std::move(cookie), session, [this, go, cookieOrigin](const DevToolsClient::Reply& reply) {
        if (!reply.ok)
            log("ERROR: the device cookie for " + cookieOrigin + " was refused: " + reply.error);
        go();
    });
}

void BrowserDriver::onRequestPaused(const Json& params, const std::string& sessionId)
{
    const std::string requestId = DevToolsClient::text(params, "requestId");
    const std::string url = DevToolsClient::text(DevToolsClient::member(params, "request"), "url");
    const auto found = pages.find(sessionId);
    // Frames inside a page load what its site chooses; only what a window shows is ruled.
    if (found == pages.end() || DevToolsClient::text(params, "frameId") != found->second.targetId) {
        client.call("Fetch.continueRequest", {{"requestId", requestId}}, sessionId);
        return;
    }
    Page& page = found->second;
    const ShellRules::Navigation navigation = origins.navigationTo(url);
    if (navigation == ShellRules::Navigation::Show) {
        page.hasShownSomething = true;
        client.call("Fetch.continueRequest", {{"requestId", requestId}}, sessionId);
        return;
    }
    // Aborted, not failed: the window keeps what it shows instead of an error page.
    client.call("Fetch.failRequest", {{"requestId", requestId}, {"errorReason", "Aborted"}}, sessionId);
    log("Kept out of the shell: " + url);
    if (navigation == ShellRules::Navigation::OpenInSystemBrowser && events.openElsewhere)
        events.openElsewhere(url);
    if (!page.isApp && !page.hasShownSomething)
        closeTarget(page.targetId, "a window opened for a site outside the shell");
}

void BrowserDriver::onTargetInfo(const Json& info)
{
    const std::string targetId = DevToolsClient::text(info, "targetId");
    const std::string url = DevToolsClient::text(info, "url");
    if (targetId.empty() || closingTargets.count(targetId) || targetId == appTarget)
        return;
    if (isDevTools(url)) {
        if (!settings.devToolsAllowed)
            closeTarget(targetId, "DevTools are off (devmode is not 1)");
        return;
    }
    if (DevToolsClient::text(info, "type") == "page" && isBrowserPage(url))
        closeTarget(targetId, "a page of the browser's own (" + url + ")");
}

void BrowserDriver::closeTarget(const std::string& targetId, const std::string& why)
{
    if (!closingTargets.insert(targetId).second)
        return;
    log("Closing a window: " + why);
    client.call("Target.closeTarget", {{"targetId", targetId}});
}

void BrowserDriver::end(const std::string& why)
{
    if (endTold.exchange(true))
        return;
    log("Browser window gone: " + why);
    if (events.ended)
        events.ended(why);
}

void BrowserDriver::log(const std::string& line) const
{
    if (events.log)
        events.log(line);
}
