#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <optional>

class QProcess;

namespace vtest {

// A private Wine folder and its session (tests/support/wine-session: one wineserver and one
// wineboot), for a test program that drives Windows programs from Linux. Made and started once
// per test program (a fresh folder takes a few seconds), ended and removed with the object.
class WineSession {
public:
    // Windows are drawn by Wine's null driver, or on a private Xvfb in Wine's desktop with its
    // taskbar and notification area (slower to start: only where a test looks at them).
    enum class Display { None, Desktop };

    explicit WineSession(Display display = Display::None);
    ~WineSession();

    bool isRunning() const { return running; }
    QString prefix() const { return folder->path(); }

    // The Windows build's program folder and build folder, from VELLOX_WIN32_BUILD_DIR (set by
    // scripts/test --windows); empty when not given.
    static QString windowsBuildFolder();
    static QString windowsProgramFolder();

    // Starts a Windows program (a Windows path, or a Linux path to an .exe) in this session;
    // the caller owns the process. Its output goes to ours: a Windows program's children keep
    // its standard handles, and a pipe they hold would never close.
    std::unique_ptr<QProcess> start(const QString& program, const QStringList& args = {},
                                     const QProcessEnvironment& extra = {}) const;
    // Runs a program to its end; its exit code, or nothing when it did not end in time.
    std::optional<int> run(const QString& program, const QStringList& args = {}, int timeoutMs = 120000) const;
    // The standard output of a program run to its end (Wine's own tools: reg, for one).
    QString output(const QString& program, const QStringList& args = {}, int timeoutMs = 60000) const;

    // A registry value as `reg query` shows it; empty when the key or value is missing.
    QString registryValue(const QString& key, const QString& name) const;

    // Where Windows folders of the prefix lie on Linux: "C:\x\y" → <prefix>/drive_c/x/y.
    QString linuxPath(const QString& windowsPath) const;
    // A Linux path as a Windows program sees it (drive Z: is the Linux root).
    static QString windowsPath(const QString& linuxPath);
    // The user's roaming application data folder, on Linux.
    QString roamingAppData() const;

private:
    // The arguments of tests/support/wine-session and wine-run before the program.
    QStringList sessionArgs() const;

    std::unique_ptr<QTemporaryDir> folder;
    Display display;
    bool running = false;
};

// A test suite whose cases share one Wine session, made before the first case and ended after
// the last: a fresh Wine folder takes seconds.
class WineSessionSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite() { wine = new WineSession; }
    static void TearDownTestSuite()
    {
        delete wine;
        wine = nullptr;
    }

    static inline WineSession* wine = nullptr;
};

} // namespace vtest
