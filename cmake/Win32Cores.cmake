# The Windows sides of the platform seams that need no Qt: built into one static library that
# the Windows tests link, and that the programs link when they are built for Windows (their own
# source lists leave these files out, see VELLOX_WIN32_CORE_SOURCES).
set(VELLOX_WIN32_CORE_SOURCES
)
list(TRANSFORM VELLOX_WIN32_CORE_SOURCES PREPEND ${CMAKE_SOURCE_DIR}/)
