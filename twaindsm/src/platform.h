// The few operating-system services the data source manager needs.
#pragma once

#include "twain.h"

#include <string>
#include <vector>

namespace twaindsm {

std::string libraryFolder();          // folder of libtwaindsm itself, without a trailing slash
bool fileExists(const std::string &path);
std::string temporaryFolder();        // TMPDIR or the system's temporary folder
unsigned long processId();
std::vector<std::string> filesInFolder(const std::string &folder); // names only, sorted

// Libraries loaded at run time: null, with the reason in `error`, when one cannot be loaded.
void *openSharedLibrary(const std::string &name, std::string &error);
void *sharedLibrarySymbol(void *library, const char *name);
void closeSharedLibrary(void *library);
// Whether SANE exists on this platform; where it does not, no SANE device is ever listed.
bool saneSupported();

// Memory that changes hands with the application as a TW_HANDLE (containers, native images, the
// DSM's memory entry points): the C heap off Windows, GlobalAlloc on Windows, where applications
// lock, size and free what they receive with the Global calls and send handles of their own.
TW_HANDLE allocateHandle(size_t size); // zero-filled; null when memory runs out
void *lockHandle(TW_HANDLE handle);     // null for a handle that is not one
void unlockHandle(TW_HANDLE handle);
void freeHandle(TW_HANDLE handle);
// A page made with malloc, handed over as a handle (the block itself where the two
// are the same memory); the page is gone afterwards either way. Null when memory runs out.
TW_HANDLE pageAsHandle(void *page, size_t size);

// Wakes an application that takes source events with DAT_EVENT from its message loop: a message
// posted to the window it gave with MSG_ENABLEDS, as sources do on Windows. Nothing elsewhere.
void wakeApplication(TW_HANDLE window);
// Whether the platform event an application passes with MSG_PROCESSEVENT may carry a source's
// message: on Windows only the wake message above (or none at all), so the application's own
// messages are never swallowed.
bool mayCarrySourceMessage(const void *platformEvent);

// The event thread keeps the library loaded while it runs (a reference the platform counts, or
// none), so an application that unloads it without MSG_CLOSEDSM does not pull the thread's code
// away; the reference goes when the thread has been joined.
void *holdLibrary();
void releaseLibrary(void *hold);
// Whether the manager is destroyed when the library is unloaded. Not on Windows: there the
// process's other threads are gone by then when it exits, in the middle of whatever they held,
// and no thread can end while the loader lock is held; a manager closed by the application has
// nothing left to stop anyway.
bool managerEndsWithLibrary();

} // namespace twaindsm
