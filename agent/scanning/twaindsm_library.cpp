#include "scanning/twaindsm_library.h"

#include <cstdio>

namespace TwainDsmLibrary {

namespace {

struct LibraryState {
    void* library = nullptr;      // null while an injected entry point stands in for a library
    DSMENTRYPROC entry = nullptr;
    std::string folder;           // empty: the executable's folder
};

LibraryState& state()
{
    static LibraryState instance;
    return instance;
}

void* openFromProgramFolderOrSystem(const char* libraryName)
{
    const std::string folder = programFolder();
    if (!folder.empty()) {
        if (void* library = platform::openLibrary(folder + "/" + libraryName))
            return library;
    }
    return platform::openLibrary(libraryName);
}

} // namespace

bool LoadDSMLibrary(const char* libraryName)
{
    LibraryState& s = state();
    if (s.entry)
        return true;

    void* library = openFromProgramFolderOrSystem(libraryName);
    if (!library) {
        std::fprintf(stderr, "Error - Could not load DSM: %s\n", libraryName);
        return false;
    }
    const std::string path = platform::libraryPath(library);
    if (!path.empty() && !platform::signatureAccepted(path)) {
        platform::closeLibrary(library);
        return false;
    }
    s.library = library;
    s.entry = reinterpret_cast<DSMENTRYPROC>(platform::resolveSymbol(library, "DSM_Entry"));
    if (!s.entry) {
        // The library stays loaded, as a retry would only find the same file again.
        std::fprintf(stderr, "Error - Could not find DSM_Entry function in DSM: %s\n", libraryName);
        return false;
    }
    return true;
}

void UnloadDSMLibrary()
{
    LibraryState& s = state();
    if (s.library)
        platform::closeLibrary(s.library);
    s.library = nullptr;
    s.entry = nullptr;
}

bool isLoaded()
{
    return state().entry != nullptr;
}

DSMENTRYPROC entryPoint()
{
    return state().entry;
}

void useEntryPoint(DSMENTRYPROC entry)
{
    UnloadDSMLibrary();
    state().entry = entry;
}

void setProgramFolder(const std::string& folder)
{
    state().folder = folder;
}

std::string programFolder()
{
    const std::string& folder = state().folder;
    return folder.empty() ? platform::executableFolder() : folder;
}

} // namespace TwainDsmLibrary
