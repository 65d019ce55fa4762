#include "shellrules.h"

#include <algorithm>
#include <cctype>

namespace ShellRules {

namespace {

std::string lowered(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// What the URL standard removes before it reads an address.
std::string withoutBlanks(const std::string& url)
{
    std::string cleaned;
    for (char c : url) {
        if (c != '\t' && c != '\n' && c != '\r')
            cleaned.push_back(c);
    }
    const size_t first = cleaned.find_first_not_of(" \f\v");
    const size_t last = cleaned.find_last_not_of(" \f\v");
    return first == std::string::npos ? std::string() : cleaned.substr(first, last - first + 1);
}

int defaultPort(const std::string& scheme)
{
    return scheme == "https" ? 443 : 80;
}

// Digits only, at most 65535; 0 when not a port.
int portNumber(const std::string& text)
{
    if (text.empty() || text.size() > 10)
        return 0;
    long value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return 0;
        value = value * 10 + (c - '0');
    }
    return value > 0 && value <= 65535 ? int(value) : 0;
}

} // namespace

std::string Origin::serialised() const
{
    if (!isValid())
        return std::string();
    std::string text = scheme + "://" + host;
    if (port != defaultPort(scheme))
        text += ":" + std::to_string(port);
    return text;
}

Origin originOf(const std::string& address)
{
    const std::string url = withoutBlanks(address);
    const size_t colon = url.find(':');
    if (colon == std::string::npos)
        return {};
    const std::string scheme = lowered(url.substr(0, colon));
    if (scheme != "http" && scheme != "https")
        return {};
    // Special schemes take any run of slashes and backslashes before the host.
    size_t start = colon + 1;
    while (start < url.size() && (url[start] == '/' || url[start] == '\\'))
        ++start;
    const size_t end = url.find_first_of("/\\?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t at = authority.rfind('@');
    if (at != std::string::npos)
        authority.erase(0, at + 1);

    std::string host;
    std::string port;
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        if (close == std::string::npos)
            return {};
        host = authority.substr(0, close + 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':')
                return {};
            port = rest.substr(1);
        }
    } else {
        const size_t portColon = authority.rfind(':');
        host = authority.substr(0, portColon);
        if (portColon != std::string::npos)
            port = authority.substr(portColon + 1);
    }
    if (host.empty())
        return {};
    Origin origin;
    origin.scheme = scheme;
    origin.host = lowered(host);
    origin.port = port.empty() ? defaultPort(scheme) : portNumber(port);
    return origin.isValid() ? origin : Origin{};
}

ShellOrigins::ShellOrigins(const std::vector<std::string>& urls)
{
    for (const std::string& url : urls) {
        const Origin origin = originOf(url);
        if (origin.isValid() && std::find(origins.begin(), origins.end(), origin) == origins.end())
            origins.push_back(origin);
    }
}

bool ShellOrigins::contains(const std::string& url) const
{
    const Origin origin = originOf(url);
    return origin.isValid() && std::find(origins.begin(), origins.end(), origin) != origins.end();
}

Navigation ShellOrigins::navigationTo(const std::string& url) const
{
    const std::string cleaned = withoutBlanks(url);
    // A new window starts blank before the page writes into it or sends it somewhere.
    if (lowered(cleaned.substr(0, 11)) == "about:blank" && (cleaned.size() == 11 || cleaned[11] == '#'))
        return Navigation::Show;
    if (contains(cleaned))
        return Navigation::Show;
    if (originOf(cleaned).isValid())
        return Navigation::OpenInSystemBrowser;
    return Navigation::Refuse;
}

std::string ShellOrigins::deviceCookieOrigin(const std::string& documentUrl) const
{
    return contains(documentUrl) ? originOf(documentUrl).serialised() : std::string();
}

bool devToolsAllowed(const std::string& agentSetting, const std::string& appDatSetting)
{
    return agentSetting == "1" || appDatSetting == "1";
}

} // namespace ShellRules
