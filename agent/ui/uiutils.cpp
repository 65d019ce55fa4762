#include "ui/uiutils.h"

#include "foundation/logging.h"

#include <QApplication>
#include <QCursor>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QStandardPaths>
#include <QUrl>
#include <QWidget>

#include <cmath>

namespace KELUi {

namespace {
QString documentsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}
} // namespace

QString allFilesFilter()
{
#ifdef Q_OS_WIN
    return QApplication::translate("KELUi", "All Files (*.*)");
#else
    return QApplication::translate("KELUi", "All Files (*)");
#endif
}

QStringList selectFiles(QWidget* parent, const QString& startFolder)
{
    const QString start = QDir(startFolder).exists() && !startFolder.isEmpty() ? startFolder : documentsFolder();
    return QFileDialog::getOpenFileNames(parent, QApplication::translate("KELUi", "选择文件"), start,
                                         allFilesFilter());
}

QString selectFolder(QWidget* parent, bool forceDefault, const QString& startFolder)
{
    const bool usable = !forceDefault && !startFolder.isEmpty() && QDir(startFolder).exists();
    return QFileDialog::getExistingDirectory(parent, QApplication::translate("KELUi", "选择文件夹"),
                                             usable ? startFolder : documentsFolder(), QFileDialog::ShowDirsOnly);
}

void bringToFront(QWidget* window)
{
    if (!window)
        return;
    if (window->isHidden())
        window->show();
    if (window->isMinimized()) {
        if (window->windowState() & Qt::WindowMaximized)
            window->showMaximized();
        else
            window->showNormal();
    }
    window->show();
    window->raise();
    window->activateWindow();
}

QString elidedTextWithMaxWidth(int maxWidth, QFont font, const QString& text)
{
    qDebug() << "elidedTextWithMaxWidth: pixel_size:" << font.pixelSize() << ", pointSize:" << font.pointSize();
    if (font.pixelSize() <= 0) {
        const QScreen* screen = QGuiApplication::primaryScreen();
        const double ratio = screen ? screen->devicePixelRatio() : 1.0;
        font.setPixelSize(int(std::lround(font.pointSizeF() * ratio)));
    }
    const QFontMetrics metrics(font);
    if (metrics.horizontalAdvance(text) <= maxWidth)
        return text;
    return metrics.elidedText(text, Qt::ElideRight, maxWidth);
}

void setElidedText(QLabel* label, const QString& text, int maxWidth)
{
    if (!label)
        return;
    QFont font = label->font();
    font.setPixelSize(12);
    const QString shown = elidedTextWithMaxWidth(maxWidth, font, text);
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void centerOnCursorScreen(QWidget* window)
{
    if (!window)
        return;
    const QPoint cursor = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(cursor);
    if (!screen) {
        KLOG->error("get screen error {} {}", cursor.x(), cursor.y());
        return;
    }
    const QRect available = screen->availableGeometry();
    QRect frame = window->frameGeometry();
    frame.moveCenter(available.center());
    window->move(frame.topLeft());
}

void openFolder(const QString& path)
{
    // A file URL built by hand breaks on a "#" or "?" in a folder name, and on Linux's leading "/".
    QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

double scaleFactor()
{
    return 1.0;
}

} // namespace KELUi
