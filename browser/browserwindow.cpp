#include "browserwindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

namespace {
constexpr double kScreenShare = 0.8;
}

BrowserWindow::BrowserWindow(const QString& title, QWidget* parent)
    : QWidget(parent)
{
    setWindowTitle(title);
    setWindowIcon(QIcon(QStringLiteral(":/vellox-browser/vellox-browser.png")));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const int width = int(screen.width() * kScreenShare);
    const int height = int(screen.height() * kScreenShare);
    resize(width, height);
    move(screen.x() + (screen.width() - width) / 2, screen.y() + (screen.height() - height) / 2);
}

void BrowserWindow::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    // Disabling took the keyboard focus from the page; it comes back with the window's input.
    if (event->type() != QEvent::EnabledChange || !isEnabled())
        return;
    for (QWidget* child : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->focusPolicy() != Qt::NoFocus || child->focusProxy()) {
            child->setFocus();
            return;
        }
    }
}

void BrowserWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    Q_EMIT closeRequested();
}
