#include "ui/switchenvconfirm.h"

#include "ui/uiutils.h"

#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>

SwitchEnvConfirm::SwitchEnvConfirm(const QString& text, const QString& key, QWidget* parent)
    : QDialog(parent)
    , envKey(key)
{
    setObjectName(QStringLiteral("SwitchEnvConfirm"));
    setFixedSize(432, 212);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    // Over the list alone, which it answers for; the agent's other windows go on.
    setWindowModality(parent ? Qt::WindowModal : Qt::ApplicationModal);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("panel_widget"));
    panel->setAttribute(Qt::WA_StyledBackground);
    panel->setStyleSheet(QStringLiteral("QWidget#panel_widget{background:white;border-radius:4px;}"));
    auto* shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setOffset(0, 0);
    shadow->setColor(QColor(38, 78, 119, 127));
    shadow->setBlurRadius(10);
    panel->setGraphicsEffect(shadow);
    outer->addWidget(panel);

    auto* column = new QVBoxLayout(panel);
    column->setContentsMargins(32, 50, 40, 25);
    column->setSpacing(3);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    auto* icon = new QLabel(panel);
    icon->setObjectName(QStringLiteral("warning_icon"));
    icon->setFixedSize(20, 20);
    icon->setScaledContents(true);
    icon->setPixmap(QPixmap(QStringLiteral(":/Resource/images/UIComponent/warning.png")));
    titleLabel = new QLabel(tr("确定要切换至“%1”吗？").arg(text), panel);
    titleLabel->setObjectName(QStringLiteral("title_label"));
    titleLabel->setStyleSheet(QStringLiteral(
        "font-family:'宋体';font-size:12pt;font-weight:500;color:rgba(0,0,0,0.85);"));
    titleLabel->setWordWrap(true);
    titleRow->addWidget(icon, 0, Qt::AlignTop);
    titleRow->addWidget(titleLabel, 1);
    column->addLayout(titleRow);

    auto* description = new QLabel(tr("切换后，程序将连接该环境的服务器。"), panel);
    description->setObjectName(QStringLiteral("desc_label"));
    description->setStyleSheet(QStringLiteral("font-family:'宋体';font-size:10.5pt;color:#5C626B;"));
    description->setContentsMargins(28, 0, 0, 0);
    description->setWordWrap(true);
    column->addWidget(description);
    column->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* cancel = new QPushButton(tr("取消"), panel);
    cancel->setObjectName(QStringLiteral("cancel_button"));
    cancel->setFixedSize(72, 32);
    cancel->setStyleSheet(QStringLiteral(
        "QPushButton{background:white;border:1px solid #CBCFD6;border-radius:4px;color:#262A30;}"));
    auto* confirm = new QPushButton(tr("确定"), panel);
    confirm->setObjectName(QStringLiteral("confirm_button"));
    confirm->setFixedSize(72, 32);
    confirm->setStyleSheet(QStringLiteral("QPushButton{background:#C7010B;border-radius:4px;color:white;}"));
    buttons->addWidget(cancel);
    buttons->addSpacing(12);
    buttons->addWidget(confirm);
    column->addLayout(buttons);

    connect(cancel, &QPushButton::clicked, this, &SwitchEnvConfirm::SigCancel);
    connect(confirm, &QPushButton::clicked, this, [this] {
        Q_EMIT SigSwitchEnv(envKey);
        close();
    });
    KELUi::centerOnCursorScreen(this);
}

QString SwitchEnvConfirm::title() const
{
    return titleLabel->text();
}
