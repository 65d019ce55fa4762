// Stands in for `vellox.exe` in the Windows shell's tests: writes its process id and its
// arguments to "agent.txt" beside itself, then runs until it is ended or asked to close (the
// agent's hidden quit window takes WM_CLOSE), which it notes as the line "asked to close".
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace {
std::wstring reportPath()
{
    wchar_t path[MAX_PATH] = {};
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return folder.substr(0, folder.find_last_of(L"\\/")) + L"\\agent.txt";
}

LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        std::ofstream(std::filesystem::path(reportPath()), std::ios::app | std::ios::binary) << "asked to close\n";
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
} // namespace

int main(int argc, char** argv)
{
    {
        std::ofstream out(std::filesystem::path(reportPath() + L".part"), std::ios::binary);
        out << GetCurrentProcessId();
        for (int i = 1; i < argc; ++i)
            out << ' ' << argv[i];
        out << '\n';
    }
    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"AgentStandInQuitWindow";
    RegisterClassW(&windowClass);
    CreateWindowW(windowClass.lpszClassName, L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, windowClass.hInstance, nullptr);
    MoveFileExW((reportPath() + L".part").c_str(), reportPath().c_str(), MOVEFILE_REPLACE_EXISTING);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchMessageW(&message);
    return 0;
}
