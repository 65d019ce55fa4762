#pragma once

#include <QDialog>
#include <QList>
#include <QMetaType>
#include <QString>

class QListWidget;

struct KELSelectTextListViewItemData {
    QString text;
    bool selected = false;
};
Q_DECLARE_METATYPE(KELSelectTextListViewItemData)

// A drop-down popup of texts, the selected one in blue; pressing a row picks it and closes.
class KELSelectTextListView : public QDialog {
    Q_OBJECT
public:
    explicit KELSelectTextListView(int width, QWidget* parent = nullptr);

    void setItems(const QList<KELSelectTextListViewItemData>& items);
    QList<KELSelectTextListViewItemData> items() const { return itemData; }
    // Shows the popup with its panel's top-left corner just below `anchor`'s bottom-left.
    void popupBelow(QWidget* anchor);

Q_SIGNALS:
    void onSelectedItem(int row, KELSelectTextListViewItemData data);

protected:
    bool event(QEvent* event) override;

private:
    void onRowPressed(int row);

    int popupWidth;
    QList<KELSelectTextListViewItemData> itemData;
    QListWidget* listWidget;
};
