#pragma once

#include <cstdint>
#include <string>

// Writes a crash report into the dump folder when the process dies of a fatal fault: a minidump
// on Windows, a report with a symbolised backtrace on Linux, named by a fresh GUID + ".dmp".
// One handler per process: the first folder given wins.
class CrashHandler {
public:
    static CrashHandler& instance();

    // `folder` in UTF-8.
    void setDumpFolder(const std::string& folder);
    bool isInstalled() const { return installed; }

    // A fresh GUID text in the dump file's form: "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
    static std::string newGuid(); // the platform's part
    static std::string guidText(std::uint32_t data1, std::uint16_t data2, std::uint16_t data3,
                                const std::uint8_t data4[8]);

private:
    CrashHandler() = default;
    bool install(const std::string& folder); // the platform's part

    bool installed = false;
};
