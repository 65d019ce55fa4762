#pragma once

#include <QString>

// Writes a crash report into the dump folder when the process dies of a fatal fault.
// One handler per process: the first folder given wins.
class CrashHandler {
public:
    static CrashHandler& instance();

    void setDumpFolder(const QString& folder);
    bool isInstalled() const { return installed; }

    // A fresh GUID text in the dump file's form: "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x".
    static QString newGuid();

private:
    CrashHandler() = default;
    bool install(const QString& folder); // the platform's part

    bool installed = false;
};
