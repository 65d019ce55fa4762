// The few operating-system services the data source manager needs.
#pragma once

#include <string>
#include <vector>

namespace twaindsm {

std::string libraryFolder();          // folder of libtwaindsm itself, without a trailing slash
bool fileExists(const std::string &path);
std::string temporaryFolder();        // TMPDIR or the system's temporary folder
unsigned long processId();
std::vector<std::string> filesInFolder(const std::string &folder); // names only, sorted
// Memory for a page image, released with free(). A large block is backed by huge pages where the
// system offers them: filling fresh memory page by page costs more than the scan itself.
void *allocatePageMemory(size_t size);

// Libraries loaded at run time: null, with the reason in `error`, when one cannot be loaded.
void *openSharedLibrary(const std::string &name, std::string &error);
void *sharedLibrarySymbol(void *library, const char *name);
void closeSharedLibrary(void *library);
// Whether SANE exists on this platform; where it does not, no SANE device is ever listed.
bool saneSupported();

} // namespace twaindsm
