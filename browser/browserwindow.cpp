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

void BrowserWindow::closeEvent(QCloseEvent* event)
{
    event->accept();
    Q_EMIT closeRequested();
}
