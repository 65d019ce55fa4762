#pragma once

#include <twain.h>

#include <cstddef>
#include <string>

// The platform seam of the TWAIN session: the data source manager library, the memory of
// capability containers and native images, and how data-source events reach the session.
// One library per process, so this is process-wide state rather than a member of the session.
namespace TwainDsmLibrary {

// File name of the data source manager on this platform ("TWAINDSM.dll" on Windows,
// "libtwaindsm.so" on Linux).
const char* dsmFileName();

// Loads the library (the program's folder first, then the system's library path) and resolves
// "DSM_Entry". True at once when already loaded. Failures go to standard error.
bool LoadDSMLibrary(const char* libraryName);
void UnloadDSMLibrary();
bool isLoaded();

// The resolved entry point, or null when nothing is loaded.
DSMENTRYPROC entryPoint();

// Tests run the session against an in-process DSM: afterwards LoadDSMLibrary succeeds at once
// with this entry point, until UnloadDSMLibrary.
void useEntryPoint(DSMENTRYPROC entry);

// The folder searched before the system's library path. Defaults to the folder of the running
// executable; test programs live elsewhere and point it at the build's program folder.
void setProgramFolder(const std::string& folder);
std::string programFolder();

// Whether data-source events arrive through the TWAIN 2 callback (registered after a source is
// opened) rather than as window messages through the native event filter.
bool eventsArriveByCallback();

// Capability containers: fixed, zero-filled memory of the platform (GlobalAlloc on Windows,
// the C heap elsewhere). The DSM hands back containers and native images in the same memory.
TW_HANDLE allocateMemory(std::size_t size);
void* lockMemory(TW_HANDLE handle);
void unlockMemory(TW_HANDLE handle);
void freeMemory(TW_HANDLE handle);
// Bytes the memory behind a handle spans (at least what was asked for); what a header read
// from it may claim at most.
std::size_t memorySize(TW_HANDLE handle);

// --- provided by the platform file (twaindsm_library_<platform>.cpp) ---
namespace platform {
void* openLibrary(const std::string& path);  // null on failure
void closeLibrary(void* library);
void* resolveSymbol(void* library, const char* name);
std::string libraryPath(void* library);      // empty when unknown
bool signatureAccepted(const std::string& path);
std::string executableFolder();
} // namespace platform

} // namespace TwainDsmLibrary
