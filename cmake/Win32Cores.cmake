# The Windows sides of the platform seams that need no Qt, with the Qt-free code they serve (the
# TWAIN session), as one static library: the Windows tests link it, and so do the programs when
# they are built for Windows (their own source lists leave these files out).
set(VELLOX_WIN32_CORE_SOURCES
    agent/foundation/agentlog.cpp
    agent/foundation/backgroundwork_win.cpp
    agent/foundation/crashhandler.cpp
    agent/foundation/crashhandler_win.cpp
    agent/foundation/filelimit_win.cpp
    agent/foundation/hiddenwindow_win.cpp
    agent/foundation/memorytrim_win.cpp
    agent/foundation/quitwindow_win.cpp
    agent/foundation/userlocal_win.cpp
    agent/printing/printspooler_win.cpp
    agent/printing/spoolerstatus.cpp
    agent/scanning/devicenotification_win.cpp
    agent/scanning/twain_value_tables.cpp
    agent/scanning/twaindsm_library.cpp
    agent/scanning/twaindsm_library_win.cpp
    agent/scanning/twainnames.cpp
    agent/scanning/twainsession.cpp
    agent/scanning/twainsession_capability.cpp
    agent/scanning/twainsession_transfer.cpp
    agent/ui/hotkey_win.cpp
    agent/ui/notifyicon_win.cpp
    agent/upgrade/installerlauncher_win.cpp
    agent/upgrade/shellwindowlink_win.cpp
)
list(TRANSFORM VELLOX_WIN32_CORE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)

add_library(vellox_win32 STATIC ${VELLOX_WIN32_CORE_SOURCES})
target_include_directories(vellox_win32 PUBLIC ${CMAKE_SOURCE_DIR}/agent ${CMAKE_SOURCE_DIR}/twaindsm/include)
target_link_libraries(vellox_win32 PUBLIC spdlog::spdlog Threads::Threads wintrust user32 advapi32 shell32 ole32 gdi32
                      winspool)
