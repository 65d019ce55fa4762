#include "ui/framelesswindow.h"

#include <QEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <QTimer>
#include <QWindow>

namespace KELFrameHit {

Area hitTest(const Input& in)
{
    if (in.resizeEnabled && !in.maximizedOrFullScreen) {
        const QRect& w = in.window;
        const bool widthVaries = in.minimum.width() != in.maximum.width();
        const bool heightVaries = in.minimum.height() != in.maximum.height();
        const bool left = widthVaries && in.cursor.x() >= w.left() && in.cursor.x() < w.left() + in.padding;
        const bool right = widthVaries && in.cursor.x() <= w.right() && in.cursor.x() > w.right() - in.padding;
        const bool top = heightVaries && in.cursor.y() >= w.top() && in.cursor.y() < w.top() + in.padding;
        const bool bottom = heightVaries && in.cursor.y() <= w.bottom() && in.cursor.y() > w.bottom() - in.padding;
        if (top && left)
            return TopLeft;
        if (top && right)
            return TopRight;
        if (bottom && left)
            return BottomLeft;
        if (bottom && right)
            return BottomRight;
        if (left)
            return Left;
        if (right)
            return Right;
        if (top)
            return Top;
        if (bottom)
            return Bottom;
    }
    if (in.moveEnabled && in.inTitleBar && !in.onCaptionExclusion)
        return Caption;
    return Client;
}

Qt::Edges edges(Area area)
{
    switch (area) {
    case Left: return Qt::LeftEdge;
    case Right: return Qt::RightEdge;
    case Top: return Qt::TopEdge;
    case Bottom: return Qt::BottomEdge;
    case TopLeft: return Qt::TopEdge | Qt::LeftEdge;
    case TopRight: return Qt::TopEdge | Qt::RightEdge;
    case BottomLeft: return Qt::BottomEdge | Qt::LeftEdge;
    case BottomRight: return Qt::BottomEdge | Qt::RightEdge;
    default: return {};
    }
}

} // namespace KELFrameHit

namespace {
constexpr int kAfterMoveDelayMs = 10;
} // namespace

cKELFrameLessWnd::cKELFrameLessWnd(QWidget* parent)
    : QWidget(parent)
    , singleShotTimer(new QTimer(this))
{
    qRegisterMetaType<emResizeEnv>("cKELFrameLessWnd::emResizeEnv");
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowSystemMenuHint
                   | Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
    singleShotTimer->setSingleShot(true);
    connect(singleShotTimer, &QTimer::timeout, this, [this] { nudgeResize(ResizeTimer); });
    currentScreen = QGuiApplication::primaryScreen();
    connect(qApp, &QGuiApplication::screenRemoved, this, &cKELFrameLessWnd::On_ScreenRemoved);
}

bool cKELFrameLessWnd::setTitleBar(QWidget* titleBar)
{
    if (titleBar && titleBar != this && !isAncestorOf(titleBar))
        return false;
    titleBarWidget = titleBar;
    return true;
}

void cKELFrameLessWnd::setCaptionExclusions(const QList<QWidget*>& widgets)
{
    captionExclusions.clear();
    for (QWidget* widget : widgets)
        captionExclusions.append(widget);
}

void cKELFrameLessWnd::setPadding(int padding)
{
    borderPadding = padding;
}

void cKELFrameLessWnd::setMoveEnable(bool enable)
{
    moveEnabled = enable;
}

void cKELFrameLessWnd::setResizeEnable(bool enable)
{
    resizeEnabled = enable;
}

KELFrameHit::Area cKELFrameLessWnd::hitArea(const QPoint& localPos) const
{
    KELFrameHit::Input in;
    in.window = rect();
    in.cursor = localPos;
    in.padding = borderPadding;
    in.minimum = minimumSize();
    in.maximum = maximumSize();
    in.resizeEnabled = resizeEnabled;
    in.moveEnabled = moveEnabled;
    in.maximizedOrFullScreen = windowState() & (Qt::WindowMaximized | Qt::WindowFullScreen);
    if (titleBarWidget) {
        const QRect bar(titleBarWidget->mapTo(this, QPoint(0, 0)), titleBarWidget->size());
        in.inTitleBar = bar.contains(localPos);
        if (in.inTitleBar) {
            const QWidget* under = childAt(localPos);
            for (const QPointer<QWidget>& excluded : captionExclusions) {
                if (excluded && under && (under == excluded || excluded->isAncestorOf(under)))
                    in.onCaptionExclusion = true;
            }
        }
    }
    return KELFrameHit::hitTest(in);
}

void cKELFrameLessWnd::mousePressEvent(QMouseEvent* event)
{
    const KELFrameHit::Area area = event->button() == Qt::LeftButton ? hitArea(event->pos()) : KELFrameHit::Client;
    if (area == KELFrameHit::Client) {
        QWidget::mousePressEvent(event);
        return;
    }
    event->accept();
    inSizeMove = true;
    Q_EMIT Sig_MousePress();
    QWindow* window = windowHandle();
    const bool byWindowManager = window
        && (area == KELFrameHit::Caption ? window->startSystemMove()
                                         : window->startSystemResize(KELFrameHit::edges(area)));
    if (byWindowManager) {
        // The window manager runs the loop and takes the pointer: its end reaches us as the
        // geometry and screen changes, not as a release.
        endDrag();
        return;
    }
    // No window manager to ask (or it declined): the window follows the held button itself.
    dragArea = area;
    dragStartCursor = event->globalPos();
    dragStartGeometry = geometry();
}

void cKELFrameLessWnd::mouseMoveEvent(QMouseEvent* event)
{
    if (dragArea == KELFrameHit::Client || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    event->accept();
    const QPoint delta = event->globalPos() - dragStartCursor;
    if (dragArea == KELFrameHit::Caption) {
        move(dragStartGeometry.topLeft() + delta);
        return;
    }
    QRect target = dragStartGeometry;
    const Qt::Edges edges = KELFrameHit::edges(dragArea);
    const QSize low = minimumSize();
    const QSize high = maximumSize();
    if (edges & Qt::LeftEdge)
        target.setLeft(qBound(target.right() - high.width() + 1, target.left() + delta.x(), target.right() - low.width() + 1));
    if (edges & Qt::RightEdge)
        target.setRight(qBound(target.left() + low.width() - 1, target.right() + delta.x(), target.left() + high.width() - 1));
    if (edges & Qt::TopEdge)
        target.setTop(qBound(target.bottom() - high.height() + 1, target.top() + delta.y(), target.bottom() - low.height() + 1));
    if (edges & Qt::BottomEdge)
        target.setBottom(qBound(target.top() + low.height() - 1, target.bottom() + delta.y(), target.top() + high.height() - 1));
    setGeometry(target);
}

void cKELFrameLessWnd::mouseReleaseEvent(QMouseEvent* event)
{
    if (dragArea == KELFrameHit::Client || event->button() != Qt::LeftButton) {
        QWidget::mouseReleaseEvent(event);
        return;
    }
    event->accept();
    dragArea = KELFrameHit::Client;
    endDrag();
}

void cKELFrameLessWnd::endDrag()
{
    inSizeMove = false;
    Q_EMIT Sig_MouseRelese();
    // Visited other screens: lay out again on the one the window ended on.
    bool otherScreens = false;
    for (const QPointer<QScreen>& screen : visitedScreens)
        otherScreens = otherScreens || (screen && screen != currentScreen);
    visitedScreens.clear();
    if (otherScreens) {
        QTimer::singleShot(kAfterMoveDelayMs, this, [this] {
            nudgeResize(ResizeAfterMove);
            Q_EMIT Sig_ExitMove();
        });
    }
}

void cKELFrameLessWnd::resizeEvent(QResizeEvent* event)
{
    if (windowState() == Qt::WindowNoState && !singleShotTimer->isActive())
        lastNormalSize = size();
    QWidget::resizeEvent(event);
}

void cKELFrameLessWnd::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    watchWindowHandle();
    if (firstShowPending) {
        firstShowPending = false;
        // Lays out once more at the final size: the first layout runs before the window exists.
        const QSize shown = size();
        resize(shown.width(), shown.height() + 1);
        resize(shown);
        repaint();
    }
}

void cKELFrameLessWnd::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::WindowStateChange) {
        const Qt::WindowStates oldState = static_cast<QWindowStateChangeEvent*>(event)->oldState();
        const Qt::WindowStates newState = windowState();
        if (newState == Qt::WindowNoState && lastNormalSize.isValid())
            resize(lastNormalSize);
        Q_EMIT Sig_WindowStateChange(oldState, newState);
    }
    QWidget::changeEvent(event);
}

void cKELFrameLessWnd::watchWindowHandle()
{
    QWindow* window = windowHandle();
    if (handleWatched || !window)
        return;
    handleWatched = true;
    connect(window, &QWindow::screenChanged, this, &cKELFrameLessWnd::onScreenChanged);
    currentScreen = window->screen();
    watchDpi(currentScreen);
}

void cKELFrameLessWnd::onScreenChanged(QScreen* screen)
{
    visitedScreens.append(screen);
    const bool changed = screen != currentScreen;
    currentScreen = screen;
    watchDpi(screen);
    // During a move the end of the move lays out; otherwise the window arrived by other means.
    if (changed && !inSizeMove && dragArea == KELFrameHit::Client) {
        visitedScreens.clear();
        QTimer::singleShot(kAfterMoveDelayMs, this, [this] {
            nudgeResize(ResizeAfterMove);
            Q_EMIT Sig_ExitMove();
        });
    }
}

void cKELFrameLessWnd::watchDpi(QScreen* screen)
{
    disconnect(dpiConnection);
    if (!screen)
        return;
    dpiConnection = connect(screen, &QScreen::logicalDotsPerInchChanged, this, [this] {
        if (!inSizeMove)
            nudgeResize(ResizeDpiChange);
    });
}

void cKELFrameLessWnd::nudgeResize(emResizeEnv reason)
{
    const QSize current = size();
    resize(current.width(), current.height() + 1);
    resize(current);
    Q_EMIT Sig_NeedResize(reason);
}

void cKELFrameLessWnd::On_ScreenRemoved(QScreen* screen)
{
    if (screen != currentScreen && currentScreen)
        return;
    QScreen* now = windowHandle() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (now == screen)
        now = QGuiApplication::primaryScreen();
    currentScreen = now;
    const Qt::WindowStates state = windowState();
    if (now && (state & (Qt::WindowMaximized | Qt::WindowFullScreen))) {
        showMinimized();
        QRect frame = frameGeometry();
        frame.moveCenter(now->availableGeometry().center());
        move(frame.topLeft());
        repaint();
        if (state & Qt::WindowFullScreen)
            showFullScreen();
        else
            showMaximized();
    }
    nudgeResize(ResizeScreenRemoved);
}
