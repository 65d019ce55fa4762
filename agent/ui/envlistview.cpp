#include "ui/envlistview.h"

#include "foundation/globalconfig.h"
#include "ui/switchenvconfirm.h"

#include <QDebug>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableView>
#include <QVBoxLayout>

#include <cmath>

namespace {
constexpr int kMarginAndTitle = 68; // outer margins 2 × 6, title bar 40, list padding 16
} // namespace

// --- EnvListDelegate ---

void EnvListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const UserData data = index.data(kUserDataRole).value<UserData>();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const QRect row = option.rect;
    painter->fillRect(row, index.row() == hoverRow ? QColor(199, 2, 12, 25) : QColor(Qt::white));
    QFont font(QStringLiteral("宋体"));
    font.setPointSizeF(10.5);
    painter->setFont(font);
    painter->setPen(data.notCurrent ? QColor(38, 42, 48, 255) : QColor(199, 1, 11, 255));
    const QRect textRect(row.left() + 20, row.top() + 10, row.width() - 76, 20);
    painter->drawText(textRect, Qt::AlignVCenter | Qt::AlignLeft,
                      painter->fontMetrics().elidedText(data.text, Qt::ElideRight, textRect.width()));
    if (!data.notCurrent) {
        painter->drawPixmap(QRect(row.left() + row.width() - 36, row.top() + 12, 16, 16),
                            QPixmap(QStringLiteral(":/Resource/images/UIComponent/check.png")));
    }
    painter->restore();
}

bool EnvListDelegate::editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                                  const QModelIndex& index)
{
    if (event->type() == QEvent::MouseMove && option.rect.contains(static_cast<QMouseEvent*>(event)->pos())) {
        hoverRow = index.row();
        Q_EMIT SigIndexHover();
    } else if (event->type() == QEvent::MouseButtonRelease
               && option.rect.contains(static_cast<QMouseEvent*>(event)->pos())) {
        clickedRow = index.row();
        const UserData data = index.data(kUserDataRole).value<UserData>();
        Q_EMIT SigIndexClicked(data.key, data.text);
    }
    return QStyledItemDelegate::editorEvent(event, model, option, index);
}

// --- EnvListView ---

EnvListView::EnvListView(QWidget* parent)
    : QDialog(parent)
    , delegate(new EnvListDelegate(this))
    , model(new QStandardItemModel(this))
{
    qRegisterMetaType<EnvListDelegate::UserData>("EnvListDelegate::UserData");
    setObjectName(QStringLiteral("EnvListView"));

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 6, 6, 6);
    outer->setSpacing(0);

    auto* titleFrame = new QFrame(this);
    titleFrame->setObjectName(QStringLiteral("title_frame"));
    titleFrame->setFixedHeight(40);
    titleFrame->setStyleSheet(QStringLiteral(
        "QFrame#title_frame{background:white;border:none;border-bottom:1px solid #E9ECF0;"
        "border-top-left-radius:4px;border-top-right-radius:4px;}"));
    auto* titleRow = new QHBoxLayout(titleFrame);
    titleRow->setContentsMargins(20, 0, 16, 0);
    auto* title = new QLabel(tr("切换体验环境"), titleFrame);
    title->setObjectName(QStringLiteral("title_label"));
    title->setStyleSheet(QStringLiteral("font-size:10.5pt;font-weight:500;color:#262A30;"));
    auto* closeButton = new QPushButton(titleFrame);
    closeButton->setObjectName(QStringLiteral("close_button"));
    closeButton->setFixedSize(16, 16);
    closeButton->setFlat(true);
    closeButton->setCursor(Qt::PointingHandCursor);
    closeButton->setStyleSheet(QStringLiteral(
        "QPushButton{border:none;border-image:url(:/resource/images/win_close.png);}"));
    titleRow->addWidget(title);
    titleRow->addStretch(1);
    titleRow->addWidget(closeButton);
    outer->addWidget(titleFrame);

    auto* body = new QWidget(this);
    body->setObjectName(QStringLiteral("body_widget"));
    body->setAttribute(Qt::WA_StyledBackground);
    body->setStyleSheet(QStringLiteral(
        "QWidget#body_widget{background:white;border-bottom-left-radius:4px;border-bottom-right-radius:4px;}"));
    auto* bodyLayout = new QVBoxLayout(body);
    bodyLayout->setContentsMargins(0, 8, 0, 8);
    view = new QTableView(body);
    view->setObjectName(QStringLiteral("envView"));
    view->setStyleSheet(QStringLiteral("QTableView#envView{border:none;background:white;}"));
    view->setFrameShape(QFrame::NoFrame);
    bodyLayout->addWidget(view);
    outer->addWidget(body, 1);

    view->setModel(model);
    view->setItemDelegate(delegate);
    view->setMouseTracking(true);
    view->setFocusPolicy(Qt::NoFocus);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setTabKeyNavigation(false);
    view->setSelectionMode(QAbstractItemView::NoSelection);
    view->setShowGrid(false);
    view->horizontalHeader()->hide();
    view->verticalHeader()->hide();
    view->horizontalHeader()->setStretchLastSection(true);
    view->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);

    resize(kWidth, kMaxVisibleRows * kRowHeight + kMarginAndTitle);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    // Not modal: a list that went behind other windows must not lock the agent's other windows.
    setWindowModality(Qt::NonModal);

    connect(closeButton, &QPushButton::clicked, this, &QWidget::close);
    connect(delegate, &EnvListDelegate::SigIndexHover, this, &EnvListView::SlotIndexHover);
    connect(delegate, &EnvListDelegate::SigIndexClicked, this, &EnvListView::SlotIndexClicked);
}

void EnvListView::fillEnvList(const QString& currentKey)
{
    curKey = currentKey;
    model->clear();
    delegate->clearHover();
    const QJsonArray domains = KELGlobalConfig::instance()->getDomains();
    visibleRows = kMaxVisibleRows;
    if (domains.size() < visibleRows)
        visibleRows = int(domains.size());
    resize(kWidth, visibleRows * kRowHeight + kMarginAndTitle);
    for (const QJsonValue& entry : domains) {
        const QJsonObject domain = entry.toObject();
        const QString name = domain.value(QStringLiteral("name")).toString();
        const QString url = domain.value(QStringLiteral("url")).toString();
        EnvListDelegate::UserData data;
        data.key = domain.value(QStringLiteral("key")).toString();
        data.text = name + QStringLiteral("-->(") + url + QLatin1Char(')');
        data.notCurrent = data.key != currentKey;
        auto* item = new QStandardItem;
        item->setData(QVariant::fromValue(data), EnvListDelegate::kUserDataRole);
        model->appendRow(item);
        view->setRowHeight(model->rowCount() - 1, kRowHeight);
    }
    view->viewport()->update();
}

void EnvListView::SlotIndexClicked(QString key, QString name)
{
    qDebug() << "EnvListView::SlotIndexClicked" << "key:" << key << "cur_key_:" << curKey;
    if (!confirmDialog) {
        auto* dialog = new SwitchEnvConfirm(name, key, this);
        confirmDialog = dialog;
        connect(dialog, &SwitchEnvConfirm::SigCancel, this, [this, dialog] {
            dialog->close();
            dialog->deleteLater();
            confirmDialog = nullptr;
        });
        connect(dialog, &SwitchEnvConfirm::SigSwitchEnv, this, [this, dialog, key] {
            Q_EMIT sigSwitchEnv(key);
            close();
            dialog->close();
            dialog->deleteLater();
            confirmDialog = nullptr;
        });
    }
    confirmDialog->show();
    confirmDialog->raise();
    confirmDialog->activateWindow();
}

void EnvListView::SlotIndexHover()
{
    view->viewport()->update();
}

void EnvListView::leaveEvent(QEvent* event)
{
    // No row stays tinted once the pointer has left the list.
    delegate->clearHover();
    view->viewport()->update();
    QDialog::leaveEvent(event);
}

void EnvListView::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    for (int i = 0; i < 4; ++i) {
        const int alpha = int(15 - 5 * std::sqrt(double(i)));
        painter.setPen(QColor(50, 50, 50, alpha));
        painter.drawRoundedRect(QRect(4 - i, 4 - i, width() + 2 * i - 8, height() + 2 * i - 8), 4, 4);
    }
}
