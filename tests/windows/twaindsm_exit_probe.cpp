// A TWAIN application that leaves TWAINDSM.dll while the manager's event thread runs:
//   twaindsm_exit_probe closed   closes source and manager, unloads the library, exits
//   twaindsm_exit_probe unload   unloads the library with the source still enabled, exits
//   twaindsm_exit_probe exit     exits with the source still enabled and the library loaded
// Exit code 0 when it got that far; the test that starts it watches the time it takes.
#include "twaindsm_win.h"

#include <twain.h>

#include <cstring>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    wintest::ScannerProfile profile(R"([{"productName": "Probe Scanner", "pages": 2, "resolution": 75, "pixelType": "bw"}])");
    HMODULE library = LoadLibraryW((wintest::programFolder() + L"\\TWAINDSM.dll").c_str());
    auto entry = library ? reinterpret_cast<DSMENTRYPROC>(GetProcAddress(library, "DSM_Entry")) : nullptr;
    if (!entry)
        return 2;
    HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    TW_IDENTITY app{};
    app.ProtocolMajor = TWON_PROTOCOLMAJOR;
    app.ProtocolMinor = TWON_PROTOCOLMINOR;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "exit probe");
    TW_IDENTITY source{};
    std::strcpy(source.ProductName, "Probe Scanner");
    TW_USERINTERFACE ui{FALSE, FALSE, window};
    if (entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &window) != TWRC_SUCCESS
        || entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &source) != TWRC_SUCCESS
        || entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui) != TWRC_SUCCESS)
        return 3;
    // The event thread is running once the source's first event has arrived.
    MSG message;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        if (!wintest::nextMessage(message, deadline))
            return 4;
        TW_EVENT event{&message, 0};
        if (entry(&app, &source, DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event) == TWRC_DSEVENT
            && event.TWMessage == MSG_XFERREADY)
            break;
    }
    if (mode == L"exit")
        return 0;
    if (mode == L"closed") {
        TW_PENDINGXFERS pending{};
        entry(&app, &source, DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
        entry(&app, &source, DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
        entry(&app, nullptr, DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &source);
        if (entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &window) != TWRC_SUCCESS)
            return 5;
    }
    if (!FreeLibrary(library))
        return 6;
    // Closed properly, the library is gone now; left open, its thread keeps it loaded.
    const bool loaded = GetModuleHandleW(L"TWAINDSM.dll") != nullptr;
    return loaded == (mode == L"unload") ? 0 : 7;
}
