#include "ui/topbar.h"

#include "foundation/globalconfig.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>

namespace {
QLabel* imageLabel(QWidget* parent, const char* name, const QString& image)
{
    auto* label = new QLabel(parent);
    label->setObjectName(QLatin1String(name));
    label->setFixedSize(16, 16);
    label->setScaledContents(true);
    label->setPixmap(QPixmap(image));
    return label;
}
} // namespace

topbar::topbar(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("topbar"));
    setAttribute(Qt::WA_TranslucentBackground);
    setStyleSheet(QStringLiteral("QWidget#topbar{background:transparent;}"));
    setFixedHeight(32);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 0, 12, 0);
    row->setSpacing(8);
    iconLabel = imageLabel(this, "main_icon_", QStringLiteral(":/resource/images/title_logo.png"));
    titleLabel = new QLabel(this);
    titleLabel->setObjectName(QStringLiteral("main_title_"));
    const KELGlobalConfig* config = KELGlobalConfig::instance();
    titleLabel->setText(QStringLiteral("%1 v%2").arg(config->getAppName(), config->getAppVersion()));
    titleLabel->setStyleSheet(QStringLiteral("color:#FFFFFF;font-size:12px;font-weight:400;"));
    minimizeLabel = imageLabel(this, "minimize_button_", QStringLiteral(":/resource/images/win_min_w.png"));
    closeLabel = imageLabel(this, "close_button_", QStringLiteral(":/resource/images/win_close_w.png"));
    row->addWidget(iconLabel);
    row->addWidget(titleLabel);
    row->addStretch(1);
    row->addWidget(minimizeLabel);
    row->addSpacing(8);
    row->addWidget(closeLabel);

    minimizeLabel->installEventFilter(this);
    closeLabel->installEventFilter(this);
}

QList<QWidget*> topbar::buttons() const
{
    return {minimizeLabel, closeLabel};
}

bool topbar::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease && (watched == closeLabel || watched == minimizeLabel)) {
        Q_EMIT signalBarType(watched == closeLabel ? Close : Minimize);
        return true;
    }
    // The press is the window's business otherwise: on a button it must not start a drag.
    if (event->type() == QEvent::MouseButtonPress && (watched == closeLabel || watched == minimizeLabel))
        return true;
    return QWidget::eventFilter(watched, event);
}
