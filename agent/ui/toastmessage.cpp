#include "ui/toastmessage.h"

#include "foundation/testtimes.h"

#include <QCursor>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

KELToastMessage::KELToastMessage(QWidget* parent)
    : QDialog(parent)
{
    setObjectName(QStringLiteral("KELToastMessage"));
    setWindowFlags(windowFlags() | Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setStyleSheet(QStringLiteral("QDialog#KELToastMessage{background:transparent;}"
                                 "QWidget#background_widget{background-color:rgba(0,0,0,0.7);border-radius:8px;}"
                                 "QLabel#label_text_{color:#FFFFFF;font-size:14px;font-weight:400;}"));

    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* background = new QWidget(this);
    background->setObjectName(QStringLiteral("background_widget"));
    background->setAttribute(Qt::WA_StyledBackground);
    outer->addWidget(background);

    auto* row = new QHBoxLayout(background);
    row->setContentsMargins(16, 10, 16, 10);
    row->setSpacing(8);
    iconLabel = new QLabel(background);
    iconLabel->setObjectName(QStringLiteral("label_icon_"));
    iconLabel->setFixedSize(16, 16);
    iconLabel->setScaledContents(true);
    iconLabel->setPixmap(QPixmap(QStringLiteral(":/resource/images/network_error.png")));
    textLabel = new QLabel(background);
    textLabel->setObjectName(QStringLiteral("label_text_"));
    row->addWidget(iconLabel);
    row->addWidget(textLabel);
}

void KELToastMessage::setText(const QString& text)
{
    textLabel->setText(text);
    adjustSize();
}

QString KELToastMessage::text() const
{
    return textLabel->text();
}

void KELToastMessage::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    close();
}

QPoint toastPosition(const QRect& available, const QSize& toast)
{
    return QPoint(available.x() + (available.width() - toast.width()) / 2, available.y() + available.height() / 3);
}

KELToastMessage* showToast(QWidget* parent, const QString& text, int durationMs)
{
    QWidget* owner = parent && parent->isVisible() ? parent : nullptr;
    auto* toast = new KELToastMessage(owner);
    if (!owner)
        toast->setWindowFlags(toast->windowFlags() | Qt::WindowStaysOnTopHint);
    toast->setTimeLimit(durationMs);
    if (durationMs > 0)
        QTimer::singleShot(KELTestTimes::scaled(durationMs), toast, &QWidget::close);
    toast->setText(text);
    toast->show();
    if (!owner) {
        // Where the user works: the screen under the pointer, within its panels.
        const QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (screen)
            toast->move(toastPosition(screen->availableGeometry(), toast->size()));
    }
    return toast;
}
