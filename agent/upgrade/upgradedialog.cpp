#include "upgrade/upgradedialog.h"

#include "foundation/logging.h"
#include "upgrade/windowhints.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {
constexpr int kButtonWidth = 120;
constexpr int kButtonHeight = 36;

QPushButton* makeButton(const QString& text, const char* styleSheet, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setFixedSize(kButtonWidth, kButtonHeight);
    button->setStyleSheet(QLatin1String(styleSheet));
    return button;
}
} // namespace

KELUpgradeDialog::KELUpgradeDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(tr("版本更新"));
    setFixedSize(420, 320);
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 20);
    layout->setSpacing(12);

    // Title and notes come from the server: never read as rich text.
    titleLabel = new QLabel(this);
    titleLabel->setTextFormat(Qt::PlainText);
    QFont titleFont = titleLabel->font();
    titleFont.setPointSize(14);
    titleFont.setWeight(75);
    titleLabel->setFont(titleFont);
    titleLabel->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    layout->addWidget(titleLabel);

    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setStyleSheet(QStringLiteral("QScrollArea { background: transparent; }"));
    notesLabel = new QLabel(scroll);
    notesLabel->setTextFormat(Qt::PlainText);
    notesLabel->setWordWrap(true);
    notesLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    notesLabel->setStyleSheet(QStringLiteral("color: #666666; padding: 8px 0; background: transparent;"));
    scroll->setWidget(notesLabel);
    layout->addWidget(scroll, 1);

    progressBar = new QProgressBar(this);
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    progressBar->setFixedHeight(6);
    progressBar->setStyleSheet(QStringLiteral(
        "QProgressBar { background-color: #E0E0E0; border-radius: 3px; }"
        "QProgressBar::chunk { background-color: #4CAF50; border-radius: 3px; }"));
    progressBar->hide();
    layout->addWidget(progressBar);

    progressLabel = new QLabel(this);
    progressLabel->setTextFormat(Qt::PlainText);
    progressLabel->setAlignment(Qt::AlignCenter);
    progressLabel->setStyleSheet(QStringLiteral("color: #999999; font-size: 12px;"));
    progressLabel->hide();
    layout->addWidget(progressLabel);

    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    buttons->addStretch();
    quitButton = makeButton(tr("退出应用"),
                            "QPushButton { background-color: #F5F5F5; border: 1px solid #DDDDDD; border-radius: 4px; "
                            "color: #E53935; font-size: 14px; }QPushButton:hover { background-color: #FFEBEE; }",
                            this);
    quitButton->hide();
    skipButton = makeButton(tr("暂不升级"),
                            "QPushButton { background-color: #F5F5F5; border: 1px solid #DDDDDD; border-radius: 4px; "
                            "color: #666666; font-size: 14px; }QPushButton:hover { background-color: #EEEEEE; }",
                            this);
    confirmButton = makeButton(tr("立即更新"),
                               "QPushButton { background-color: #4CAF50; border: none; border-radius: 4px; "
                               "color: white; font-size: 14px; }QPushButton:hover { background-color: #45A049; }",
                               this);
    buttons->addWidget(quitButton);
    buttons->addWidget(skipButton);
    buttons->addWidget(confirmButton);
    layout->addLayout(buttons);

    connect(confirmButton, &QPushButton::clicked, this, &KELUpgradeDialog::sigConfirmUpgrade);
    connect(skipButton, &QPushButton::clicked, this, [this] {
        Q_EMIT sigSkipUpgrade();
        close();
    });
    connect(quitButton, &QPushButton::clicked, this, &KELUpgradeDialog::sigQuitApp);

    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect frame = geometry();
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
}

void KELUpgradeDialog::setVersion(const QString& version)
{
    titleLabel->setText(tr("发现新版本 v%1").arg(version));
}

void KELUpgradeDialog::setContent(const QStringList& lines)
{
    QString text;
    for (const QString& line : lines)
        text += line + QLatin1Char('\n');
    notesLabel->setText(text.trimmed());
}

void KELUpgradeDialog::setForce(bool forced)
{
    force = forced;
    skipButton->setVisible(!forced);
    quitButton->setVisible(forced);
    Qt::WindowFlags flags = windowFlags() | Qt::WindowStaysOnTopHint;
    if (forced)
        flags &= ~Qt::WindowCloseButtonHint;
    else
        flags |= Qt::WindowCloseButtonHint;
    setWindowFlags(flags);
    if (forced)
        KELWindowHints::withoutCloseFunction(this);
}

void KELUpgradeDialog::setProgress(int percent)
{
    downloading = true;
    progressBar->show();
    progressLabel->show();
    progressBar->setValue(percent);
    progressLabel->setText(tr("正在下载更新包... %1%").arg(percent));
    confirmButton->setEnabled(false);
    confirmButton->setText(tr("下载中..."));
}

void KELUpgradeDialog::setDownloaded(bool ready)
{
    downloaded = ready;
    downloading = false;
    if (!ready)
        return;
    progressBar->setValue(100);
    progressLabel->setText(tr("下载完成"));
    confirmButton->setEnabled(true);
    confirmButton->setText(tr("立即安装"));
}

void KELUpgradeDialog::setDownloadFailed()
{
    downloaded = false;
    downloading = false;
    if (progressLabel->isVisible())
        progressLabel->setText(tr("下载失败"));
    confirmButton->setEnabled(true);
    confirmButton->setText(tr("立即更新"));
}

void KELUpgradeDialog::reject()
{
    if (mayClose())
        QDialog::reject();
    else
        KLOG->info("Upgrade dialog kept open: the upgrade is required");
}

void KELUpgradeDialog::closeEvent(QCloseEvent* event)
{
    if (mayClose()) {
        event->accept();
    } else {
        KLOG->info("Upgrade dialog kept open: the upgrade is required");
        event->ignore();
    }
}
