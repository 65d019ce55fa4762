#pragma once

#include "browserinstallation.h"
#include "devtoolsclient.h"
#include "shellrules.h"
#include "tiedprocess.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// The shell's window, made of the PC's own browser: the browser runs as an app window (no
// address bar, no tabs) with the shell's private profile, and is driven over its DevTools
// protocol on loopback. The driver tags the device by cookie for the shown environment's
// origin only, before that environment's page loads; keeps every window of the browser on the
// environments' origins (other sites are aborted and offered to the desktop's browser); shuts
// DevTools unless they are allowed; and tells when the window is gone.
//
// The browser is driven from the DevTools connection's thread: the public calls post their
// work there and return at once; the events are called from there (or from the process
// watcher's thread for the browser's end).
class BrowserDriver {
public:
    struct Settings {
        std::filesystem::path profileFolder; // the browser's private profile
        std::filesystem::path engineLog;     // the browser's own log
        std::string windowTitle;             // until the page names itself
        std::vector<std::string> shellUrls;  // whose origins its windows may show
        std::string deviceId;                // empty: no cookie
        bool devToolsAllowed = false;
        std::vector<std::string> extraSwitches;
    };
    struct Events {
        std::function<void(const std::string& line)> log;
        // A page of the shell asked for another site, which the shell does not show.
        std::function<void(const std::string& url)> openElsewhere;
        // The window is gone: closed by the user, or the browser ended. Called once.
        std::function<void(const std::string& why)> ended;
    };

    static constexpr int kStartTimeoutMs = 30000;
    static constexpr int kCloseGraceMs = 3000;

    BrowserDriver(Settings settings, Events events);
    ~BrowserDriver(); // ends the browser
    BrowserDriver(const BrowserDriver&) = delete;
    BrowserDriver& operator=(const BrowserDriver&) = delete;

    // Starts `browser` and connects to it; false with `error` said when the browser cannot be
    // started or opens no DevTools port in time (a policy may forbid it).
    bool start(const BrowserInstallation& browser, std::string& error);
    std::int64_t browserProcessId() const { return process.processId(); }

    // Shows `url` in the app window; the device cookie for its origin is set first.
    void show(const std::string& url);
    // Restores the window when minimised and brings it to the front.
    void bringToFront();
    // Asks the browser to close its windows; ended() follows.
    void close();
    // Waits up to kCloseGraceMs for the browser to end after close(), ends it if it has not,
    // and drops the connection. Not from the connection's thread.
    void finish();

    // The switches the browser is started with.
    std::vector<std::string> switchesFor(int debuggingPort) const;
    // The page the app window opens with: blank, titled `title`.
    static std::string startPage(const std::string& title);
    // Every byte but letters, digits and "-_.~" as %XX, for data: addresses and fragments.
    static std::string percentEncoded(const std::string& text);

private:
    struct Page {
        std::string targetId;
        bool isApp = false;
        bool hasShownSomething = false; // a popup that showed nothing closes with its refusal
    };
    using Json = DevToolsClient::Json;

    bool connect(std::string& error);
    void onEvent(const std::string& method, const Json& params, const std::string& sessionId);
    void onAttached(const Json& params);
    void onTargetInfo(const Json& targetInfo);
    void onRequestPaused(const Json& params, const std::string& sessionId);
    void prepareAppWindow(const std::string& sessionId);
    void navigate(const std::string& url);
    void closeTarget(const std::string& targetId, const std::string& why);
    void end(const std::string& why);
    void log(const std::string& line) const;

    const Settings settings;
    const Events events;
    const ShellRules::ShellOrigins origins;
    TiedProcess process;
    DevToolsClient client;
    std::atomic<bool> endTold {false};

    // On the connection's thread:
    std::map<std::string, Page> pages; // by session id
    std::string appSession;
    std::string appTarget;
    std::string pendingUrl; // shown once the app window is attached
    bool appWindowReady = false;
    std::set<std::string> closingTargets;
};
