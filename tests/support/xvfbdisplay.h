#pragma once

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QProcessEnvironment>
#include <QRect>
#include <QString>
#include <QStringList>

#include <optional>

namespace vtest {

// A private X display for tests that show windows, grab keys or take screenshots: an Xvfb
// on a display number it picks itself (-displayfd), so parallel tests never collide and
// nobody guesses a free one; ready for clients once constructed. 96 dpi, so Qt does not scale
// windows. Stopped when destroyed.
//
// The X tools (xdotool, xwininfo) run against it through run(); every call ends at a deadline.
// Window ids are the X server's.
class XvfbDisplay {
public:
    static constexpr int kWidth = 1280;
    static constexpr int kHeight = 800;

    XvfbDisplay();
    ~XvfbDisplay();
    // The display of a test program whose own windows go to an Xvfb (the XVFB option of
    // vellox_add_test): started by its main before the application object.
    static XvfbDisplay& shared();
    XvfbDisplay(const XvfbDisplay&) = delete;
    XvfbDisplay& operator=(const XvfbDisplay&) = delete;

    bool isRunning() const { return pid > 0; }
    QString errorString() const { return error; }
    QString name() const { return displayName; } // ":N"

    // DISPLAY for programs started with this environment / for this process (call that
    // before the application object exists).
    void applyTo(QProcessEnvironment& environment) const;
    void useForThisProcess() const;

    struct ToolResult {
        bool finished = false;
        int exitCode = -1;
        QByteArray output; // standard output
        QByteArray errors; // standard error
    };
    ToolResult run(const QString& program, const QStringList& arguments, int timeoutMs = 15000) const;

    // Windows whose name matches the regular expression (mapped ones only, unless told).
    QList<quint64> findWindows(const QString& nameRegex, bool onlyVisible = true) const;
    // Mapped windows of a program by its class (as Qt names it, the program's name): popups,
    // which xdotool does not find by name, among them.
    QList<quint64> findWindowsOfClass(const QString& classRegex) const;
    std::optional<quint64> waitForWindow(const QString& nameRegex, int timeoutMs = 30000) const;
    bool waitUntilGone(quint64 window, int timeoutMs = 30000) const;
    bool isMapped(quint64 window) const;
    std::optional<QRect> geometry(quint64 window) const; // position on the screen and size
    quint64 focusedWindow() const;                        // 0 when none
    bool focus(quint64 window) const;
    bool resize(quint64 window, int width, int height) const;
    // Keys in xdotool's spelling ("ctrl+alt+k", "Return"). Without a window they are typed as
    // by the keyboard, to the focus or a key grab. With one they are sent to it directly, past
    // any grab, but only while another window holds the focus: xdotool types to a window that
    // has it, event by event, and a key pressed one way and released the other stays down.
    bool key(const QStringList& keys, quint64 window = 0) const;
    // Asks the window to close as a window manager's close button does (WM_DELETE_WINDOW).
    bool requestClose(quint64 window) const;
    // The window's pixels; only for a test program whose own windows are on this display.
    QImage grab(quint64 window) const;

    // Text typed as by the keyboard, to the focus.
    bool type(const QString& text) const;

    // The pointer, as a user moves it (screen coordinates; buttons 1 left, 3 right).
    bool moveMouse(int x, int y) const;
    bool click(int x, int y, int button = 1) const;
    bool mouseDown(int x, int y, int button = 1) const;
    bool mouseUp(int button = 1) const;
    // Held down at `from`, moved in steps to `to`, released there.
    bool drag(const QPoint& from, const QPoint& to) const;

    // The whole screen as it shows now (without a compositor, transparent parts read black).
    QImage screenshot() const;

    // A notification area (Debian's trayer) docked at the screen's top right, for tray icons;
    // true once it is there. Stopped with the display.
    bool startTrayHost();
    // The desktop without a notification area again (until the next startTrayHost).
    void stopTrayHost();
    std::optional<QRect> trayHostGeometry() const;

private:
    void start();
    void stop();
    // A fresh server gives the focus to whatever window is under the pointer, which xdotool
    // cannot name; the root window, as on a desktop, it can.
    void focusRoot() const;

    qint64 pid = 0;
    qint64 trayPid = 0;
    QString displayName;
    QString error;
};

} // namespace vtest
