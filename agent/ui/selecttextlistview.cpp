#include "ui/selecttextlistview.h"

#include "ui/uiutils.h"

#include <QEvent>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {
constexpr int kRowHeight = 28;
constexpr int kTextWidth = 265;
constexpr int kOuterMargin = 10;
// More rows scroll: a network scanner backend can list dozens of scanners on a school's LAN.
constexpr int kMaxVisibleRows = 10;
} // namespace

KELSelectTextListView::KELSelectTextListView(int width, QWidget* parent)
    : QDialog(parent)
    , popupWidth(width)
{
    qRegisterMetaType<KELSelectTextListViewItemData>("KELSelectTextListViewItemData");
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(kOuterMargin, kOuterMargin, kOuterMargin, kOuterMargin);
    auto* panel = new QWidget(this);
    panel->setObjectName(QStringLiteral("panel_widget"));
    panel->setAttribute(Qt::WA_StyledBackground);
    panel->setStyleSheet(QStringLiteral("QWidget#panel_widget{background:white;border-radius:4px;}"));
    auto* shadow = new QGraphicsDropShadowEffect(panel);
    shadow->setColor(QColor(0, 0, 0, 26));
    shadow->setBlurRadius(10);
    shadow->setOffset(0, 0);
    panel->setGraphicsEffect(shadow);
    outer->addWidget(panel);

    auto* inner = new QVBoxLayout(panel);
    inner->setContentsMargins(8, 10, 8, 4);
    listWidget = new QListWidget(panel);
    listWidget->setObjectName(QStringLiteral("message_listwidget"));
    listWidget->setSelectionMode(QAbstractItemView::NoSelection);
    listWidget->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listWidget->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    listWidget->setFocusPolicy(Qt::NoFocus);
    listWidget->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    listWidget->setStyleSheet(QStringLiteral("QListWidget::Item:hover{background-color:#0C000000; border-radius: 4px;} "
                                             "QListWidget#message_listwidget{border:0;}"));
    inner->addWidget(listWidget);
    connect(listWidget, &QListWidget::itemPressed, this,
            [this](QListWidgetItem* item) { onRowPressed(listWidget->row(item)); });
    setFixedWidth(popupWidth);
}

void KELSelectTextListView::setItems(const QList<KELSelectTextListViewItemData>& items)
{
    itemData = items;
    listWidget->clear();
    const int rowWidth = popupWidth - 36;
    for (const KELSelectTextListViewItemData& data : items) {
        auto* item = new QListWidgetItem(listWidget);
        item->setSizeHint(QSize(rowWidth, kRowHeight));
        item->setData(Qt::UserRole, QVariant::fromValue(data));
        auto* row = new QWidget(listWidget);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(8, 0, 8, 0);
        auto* label = new QLabel(row);
        label->setObjectName(QStringLiteral("text_label"));
        label->setStyleSheet(data.selected ? QStringLiteral("color:#3674FF;font-size:12px;")
                                           : QStringLiteral("color:#000000;font-size:12px;"));
        // The row passes presses on to the list, which picks the item.
        label->setAttribute(Qt::WA_TransparentForMouseEvents);
        row->setAttribute(Qt::WA_TransparentForMouseEvents);
        KELUi::setElidedText(label, data.text, kTextWidth);
        layout->addWidget(label);
        listWidget->setItemWidget(item, row);
    }
    // Panel margins, list frame and rows: up to ten rows show at once, the rest scroll.
    const int listHeight = int(std::min(items.size(), kMaxVisibleRows)) * kRowHeight + 4;
    listWidget->setFixedHeight(listHeight);
    setFixedHeight(listHeight + 2 * kOuterMargin + 10 + 4);
}

void KELSelectTextListView::popupBelow(QWidget* anchor)
{
    if (anchor) {
        const QPoint below = anchor->mapToGlobal(QPoint(0, anchor->height()));
        move(below - QPoint(kOuterMargin, kOuterMargin - 2));
    }
    show();
    raise();
    activateWindow();
}

bool KELSelectTextListView::event(QEvent* event)
{
    // A click elsewhere ends the choice, as with a combo box.
    if (event->type() == QEvent::WindowDeactivate && isVisible())
        close();
    return QDialog::event(event);
}

void KELSelectTextListView::onRowPressed(int row)
{
    if (row < 0 || row >= itemData.size())
        return;
    Q_EMIT onSelectedItem(row, itemData.at(row));
    close();
}
