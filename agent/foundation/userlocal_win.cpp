// Windows: pipe names (the agent's single-instance socket among them) are one namespace for the
// whole PC, shared by every user logged on to it. A user's names carry the user's security
// identifier instead of living in a folder of the user's.
#include "foundation/userlocal.h"

#include <windows.h>
#include <sddl.h>

namespace UserLocal {
namespace {

// "S-1-5-21-…" of the user this process runs as; empty when it cannot be read.
std::string userSid()
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    std::string sid;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    char* text = nullptr;
    if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size)
        && ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &text)) {
        sid = text;
        LocalFree(text);
    }
    CloseHandle(token);
    return sid;
}

} // namespace

std::string folder()
{
    return {};
}

std::string path(const std::string& name)
{
    static const std::string sid = userSid();
    return sid.empty() ? name : name + "-" + sid;
}

} // namespace UserLocal
