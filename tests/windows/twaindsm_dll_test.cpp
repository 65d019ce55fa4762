// TWAINDSM.dll as a Windows application meets it: loaded by LoadLibraryW, entered through the
// undecorated DSM_Entry.
#include "wintest.h"

#include <twain.h>

#include <gtest/gtest.h>

#include <cstring>

TEST(TwaindsmDll, ExportsDsmEntryByItsPlainNameAndOpensTheManager)
{
    HMODULE library = LoadLibraryW((wintest::programFolder() + L"\\TWAINDSM.dll").c_str());
    ASSERT_NE(library, nullptr) << GetLastError();
    auto entry = reinterpret_cast<DSMENTRYPROC>(GetProcAddress(library, "DSM_Entry"));
    ASSERT_NE(entry, nullptr);

    TW_IDENTITY app{};
    app.ProtocolMajor = TWON_PROTOCOLMAJOR;
    app.ProtocolMinor = TWON_PROTOCOLMINOR;
    app.SupportedGroups = DG_CONTROL | DG_IMAGE | DF_APP2;
    std::strcpy(app.ProductName, "windows test");
    HWND parent = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    EXPECT_EQ(entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent), TWRC_SUCCESS);
    EXPECT_EQ(entry(&app, nullptr, DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent), TWRC_SUCCESS);
    DestroyWindow(parent);
    EXPECT_TRUE(FreeLibrary(library));
}
