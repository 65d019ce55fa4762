# 32-bit Windows programs from Debian's mingw-w64 (posix threads), run under Wine.
#   cmake -S . -B build-win32 --toolchain cmake/toolchain-i686-w64-mingw32.cmake
# The programs carry their C and C++ runtimes and the threads library inside them: nothing but
# system DLLs is needed beside an .exe.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELLOX_MINGW_TRIPLET i686-w64-mingw32)

set(CMAKE_C_COMPILER ${VELLOX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELLOX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VELLOX_MINGW_TRIPLET}-windres)

# Windows libraries built for this lane (a static Qt, curl, libjpeg-turbo) are found below the
# folders listed in VELLOX_WIN32_PREFIX as well as the compiler's own.
set(VELLOX_WIN32_PREFIX "" CACHE STRING "Folders holding libraries built for i686 Windows")
set(CMAKE_FIND_ROOT_PATH /usr/${VELLOX_MINGW_TRIPLET} ${VELLOX_WIN32_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Test programs (and gtest's listing of their cases) run through Wine in a session of this
# build's own (tests/support/wine-run).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/support/wine-run)
