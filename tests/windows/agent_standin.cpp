// Stands in for `vellox.exe` in the Windows shell's tests: writes its process id and its
// arguments to "agent.txt" beside itself, then waits until it is ended.
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>

int main(int argc, char** argv)
{
    wchar_t path[MAX_PATH] = {};
    std::wstring folder(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    folder = folder.substr(0, folder.find_last_of(L"\\/"));
    {
        std::ofstream out(std::filesystem::path(folder + L"\\agent.txt.part"));
        out << GetCurrentProcessId();
        for (int i = 1; i < argc; ++i)
            out << ' ' << argv[i];
        out << '\n';
    }
    MoveFileExW((folder + L"\\agent.txt.part").c_str(), (folder + L"\\agent.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    Sleep(INFINITE);
    return 0;
}
