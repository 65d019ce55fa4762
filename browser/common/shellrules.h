#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What the shell's windows may show and whom they tell who this PC is, whatever engine the
// shell drives. Plain C++ on UTF-8 strings, so every platform's shell applies the same rules.
namespace ShellRules {

// The scheme, host and port of an http(s) address; empty for anything else. Hosts compare
// without regard to ASCII case; a missing port is the scheme's default.
struct Origin {
    std::string scheme; // "http" or "https"
    std::string host;   // lower case; an IPv6 address keeps its brackets
    int port = 0;

    bool isValid() const { return !scheme.empty() && !host.empty() && port > 0; }
    bool operator==(const Origin& other) const
    {
        return scheme == other.scheme && host == other.host && port == other.port;
    }
    bool operator!=(const Origin& other) const { return !(*this == other); }
    // "https://host" or "http://host:8080", as a browser serialises an origin.
    std::string serialised() const;
};

// Parsed the way a browser reads an address: tabs and line breaks dropped, a backslash ends
// the host like a slash, user information before the last "@" ignored.
Origin originOf(const std::string& url);

// Where an address opened in the shell's main window or in a popup may go.
enum class Navigation {
    Show,                // one of the shell's own origins (or a blank page)
    OpenInSystemBrowser, // another web site: the desktop's browser shows it, outside the shell
    Refuse,              // any other scheme (file, data, javascript, ...)
};

class ShellOrigins {
public:
    // The environments' addresses and the built-in front end; addresses that are no http(s)
    // origin are left out.
    explicit ShellOrigins(const std::vector<std::string>& urls);

    bool contains(const std::string& url) const;
    Navigation navigationTo(const std::string& url) const;

    // The device cookie goes only into documents of exactly these origins (scheme, host and
    // port), never to a site a page links to; empty when `documentUrl` gets none.
    std::string deviceCookieOrigin(const std::string& documentUrl) const;

private:
    std::vector<Origin> origins;
};

// The engine's log (cef_debug.log) is kept like the agent's: five files of 5 MB at most.
constexpr std::size_t kEngineLogBytes = 5 * 1024 * 1024;
constexpr int kEngineLogFiles = 5;

// The cookie that tells a shell's own server which PC it serves.
constexpr const char* kDeviceCookieName = "deviceId";
constexpr long kDeviceCookieLifetimeSeconds = 31536000; // a year

// DevTools show every page's data, cookies and storage to whoever sits at the PC: the shell
// opens them only when the agent's "devmode" setting or app.dat's "devmode" is exactly "1".
bool devToolsAllowed(const std::string& agentSetting, const std::string& appDatSetting);

} // namespace ShellRules
