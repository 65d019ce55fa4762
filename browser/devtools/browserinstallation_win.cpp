#include "browserinstallation.h"

#include "foundation/widestring_win.h"

#include <windows.h>

namespace {

struct Candidate {
    const char* name;
    const wchar_t* executable;   // as the system's "App Paths" register it
    const wchar_t* policies;     // its policies under Software\Policies
    const wchar_t* installedAt;  // below a program-files folder, where it registers nothing
};

const Candidate kCandidates[] = {
    {"Microsoft Edge", L"msedge.exe", L"SOFTWARE\\Policies\\Microsoft\\Edge", L"Microsoft\\Edge\\Application\\msedge.exe"},
    {"Google Chrome", L"chrome.exe", L"SOFTWARE\\Policies\\Google\\Chrome", L"Google\\Chrome\\Application\\chrome.exe"},
};

// The 32-bit shell on 64-bit Windows sees the registry's 32-bit view unless told: both views
// are read, the machine's first.
const REGSAM kViews[] = {KEY_WOW64_64KEY, KEY_WOW64_32KEY};

bool isFile(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring stringValue(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view)
{
    wchar_t value[MAX_PATH * 2] = {};
    DWORD size = sizeof value - sizeof(wchar_t);
    if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ | view, nullptr, value, &size)
        != ERROR_SUCCESS)
        return {};
    std::wstring text(value);
    // An expandable value comes expanded; a registered path may be quoted.
    if (text.size() >= 2 && text.front() == L'"' && text.back() == L'"')
        text = text.substr(1, text.size() - 2);
    return text;
}

bool dwordValue(HKEY root, const std::wstring& key, const wchar_t* name, REGSAM view, DWORD& value)
{
    DWORD size = sizeof value;
    return RegGetValueW(root, key.c_str(), name, RRF_RT_REG_DWORD | view, nullptr, &value, &size) == ERROR_SUCCESS;
}

std::wstring environmentValue(const wchar_t* name)
{
    wchar_t value[MAX_PATH] = {};
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
}

std::filesystem::path registeredPath(const Candidate& candidate)
{
    const std::wstring key = std::wstring(L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\App Paths\\") + candidate.executable;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (REGSAM view : kViews) {
            const std::wstring path = stringValue(root, key, nullptr, view);
            if (!path.empty() && isFile(path))
                return path;
        }
    }
    for (const wchar_t* folder : {L"ProgramFiles(x86)", L"ProgramW6432", L"ProgramFiles", L"LOCALAPPDATA"}) {
        const std::wstring base = environmentValue(folder);
        if (!base.empty() && isFile(base + L"\\" + candidate.installedAt))
            return base + L"\\" + candidate.installedAt;
    }
    return {};
}

const Candidate* candidateNamed(const std::string& name)
{
    for (const Candidate& candidate : kCandidates) {
        if (name == candidate.name)
            return &candidate;
    }
    return nullptr;
}

} // namespace

std::optional<BrowserInstallation> findBrowser()
{
    for (const Candidate& candidate : kCandidates) {
        const std::filesystem::path program = registeredPath(candidate);
        if (!program.empty())
            return BrowserInstallation {candidate.name, program};
    }
    return std::nullopt;
}

std::string remoteDebuggingPolicy(const BrowserInstallation& browser)
{
    const Candidate* candidate = candidateNamed(browser.name);
    if (!candidate)
        return {};
    // Either turns the DevTools protocol off for the pages the shell shows.
    struct Forbidding {
        const wchar_t* name;
        DWORD value;
    };
    const Forbidding forbidding[] = {{L"RemoteDebuggingAllowed", 0}, {L"DeveloperToolsAvailability", 2}};
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        for (REGSAM view : kViews) {
            for (const Forbidding& policy : forbidding) {
                DWORD value = 0;
                if (dwordValue(root, candidate->policies, policy.name, view, value) && value == policy.value) {
                    return std::string(root == HKEY_LOCAL_MACHINE ? "HKEY_LOCAL_MACHINE\\" : "HKEY_CURRENT_USER\\")
                        + WideString::toUtf8(candidate->policies) + ": " + WideString::toUtf8(policy.name) + " = "
                        + std::to_string(value);
                }
            }
        }
    }
    return {};
}

std::vector<std::string> platformBrowserSwitches()
{
    return {};
}
