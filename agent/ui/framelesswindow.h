#pragma once

#include <QList>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QWidget>

class QScreen;
class QTimer;

// Where a point of a frameless window acts like the native frame would.
namespace KELFrameHit {

enum Area { Client = 0, Caption, Left, Right, Top, Bottom, TopLeft, TopRight, BottomLeft, BottomRight };

struct Input {
    QRect window;        // the window's rectangle, in the same coordinates as `cursor`
    QPoint cursor;
    int padding = 8;     // width of the resize border
    QSize minimum;
    QSize maximum;
    bool resizeEnabled = true;
    bool moveEnabled = true;
    bool maximizedOrFullScreen = false;
    bool inTitleBar = false;      // the cursor is over the title bar
    bool onCaptionExclusion = false; // … over one of its excluded children (buttons)
};

// Edges resize only where the window may change size in that direction; the title bar moves
// it, except on its excluded children.
Area hitTest(const Input& input);
// The window edges an area resizes (none for Client and Caption).
Qt::Edges edges(Area area);

} // namespace KELFrameHit

// Top-level window without the system frame that still behaves like a framed one: resized
// from its edges, moved by its title bar, and re-laid out after moving to another screen, a
// DPI change or the loss of its screen.
class cKELFrameLessWnd : public QWidget {
    Q_OBJECT
public:
    enum emResizeEnv { ResizeAfterMove = 1, ResizeScreenRemoved = 2, ResizeDpiChange = 3, ResizeTimer = 4 };
    Q_ENUM(emResizeEnv)

    explicit cKELFrameLessWnd(QWidget* parent = nullptr);

    // Accepted when null or a descendant of this window.
    bool setTitleBar(QWidget* titleBar);
    QWidget* titleBar() const { return titleBarWidget; }
    // Children of the title bar that never start a move (its buttons).
    void setCaptionExclusions(const QList<QWidget*>& widgets);
    int padding() const { return borderPadding; }
    QTimer* resizeTimer() const { return singleShotTimer; }

    // The area under `localPos` (window coordinates).
    KELFrameHit::Area hitArea(const QPoint& localPos) const;

Q_SIGNALS:
    void Sig_MousePress();
    void Sig_MouseRelese();
    void Sig_ExitMove();
    void Sig_NeedResize(cKELFrameLessWnd::emResizeEnv env);
    void Sig_WindowStateChange(Qt::WindowStates oldState, Qt::WindowStates newState);

public Q_SLOTS:
    void setPadding(int padding);
    void setMoveEnable(bool enable);
    void setResizeEnable(bool enable);
    void On_ScreenRemoved(QScreen* screen);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;

    void nudgeResize(emResizeEnv reason);

private:
    void watchWindowHandle();
    void onScreenChanged(QScreen* screen);
    void watchDpi(QScreen* screen);
    void endDrag();

    QWidget* titleBarWidget = nullptr;
    int borderPadding = 8;
    bool moveEnabled = true;
    bool resizeEnabled = true;
    bool inSizeMove = false;
    QPointer<QScreen> currentScreen;
    QList<QPointer<QScreen>> visitedScreens;
    QList<QPointer<QWidget>> captionExclusions;
    QTimer* singleShotTimer;
    bool firstShowPending = true;
    QSize lastNormalSize;
    bool handleWatched = false;
    QMetaObject::Connection dpiConnection;

    // A move or resize the window follows itself, where the window manager declined it.
    KELFrameHit::Area dragArea = KELFrameHit::Client;
    QPoint dragStartCursor;
    QRect dragStartGeometry;
};
