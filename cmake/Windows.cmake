# The 32-bit Windows build (build-win32/, scripts/test --windows): the same tree cross-compiled
# with mingw-w64 and tested under Wine. Without a Windows Qt it builds what needs no Qt (our
# TWAINDSM.dll and the Windows cores of the platform seams) with their tests; with one (found
# through VELLOX_WIN32_PREFIX) the programs that need Qt are added as well.

# Tests run under Wine, in a session of this build's own private Wine folder.
set(VELLOX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/tests/support/wine-run ${VELLOX_WINE_PREFIX})

# Windows 7 and later (as Qt 5.15): the API level every Win32 call of the programs is written against.
add_compile_definitions(WINVER=0x0601 _WIN32_WINNT=0x0601 UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)

# GoogleTest from Debian's sources, built by the same compiler (it names its targets GTest::…).
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Header-only libraries come from the host's Debian packages: only their own folders of
# /usr/include are seen (the host's C library headers must never be), through links in the
# build. vellox_host_headers(TARGET FOLDER…) makes an interface target of them.
function(vellox_host_headers target)
  set(root ${CMAKE_BINARY_DIR}/host-headers/${target})
  foreach(folder ${ARGN})
    if(NOT EXISTS /usr/include/${folder})
      message(FATAL_ERROR "/usr/include/${folder} is missing: run scripts/setup --windows")
    endif()
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK /usr/include/${folder} ${root}/${folder} SYMBOLIC)
  endforeach()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${root})
endfunction()
vellox_host_headers(nlohmann_json::nlohmann_json nlohmann)
# spdlog and fmt header-only, as one target under spdlog's own name.
vellox_host_headers(spdlog::spdlog spdlog fmt)
target_compile_definitions(spdlog::spdlog INTERFACE SPDLOG_FMT_EXTERNAL FMT_HEADER_ONLY)

find_package(Qt5 5.15 QUIET COMPONENTS Core Gui Widgets Network)
set(VELLOX_WIN32_QT ${Qt5_FOUND})
if(VELLOX_WIN32_QT)
  message(STATUS "Windows Qt: ${Qt5_DIR}")
else()
  message(STATUS "No Windows Qt: building the Qt-free parts only")
endif()
