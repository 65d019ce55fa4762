#pragma once

#include "ui/switchenvconfirm.h"

#include <QDialog>
#include <QMetaType>
#include <QPointer>
#include <QStyledItemDelegate>

class QStandardItemModel;
class QTableView;

// Paints the rows of the environment list (the current one red with a check mark, the one
// under the pointer tinted) and reports hovers and clicks.
class EnvListDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    struct UserData {
        QString key;
        QString text;
        bool notCurrent = true;
    };
    static constexpr int kUserDataRole = Qt::UserRole; // 256

    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

    int hoveredRow() const { return hoverRow; }
    void clearHover() { hoverRow = -1; }

Q_SIGNALS:
    void SigIndexClicked(QString key, QString name);
    void SigIndexHover();

private:
    int hoverRow = -1;
    int clickedRow = -1;
};
Q_DECLARE_METATYPE(EnvListDelegate::UserData)

// The list of server environments opened by Ctrl+Alt+K; a click asks for confirmation.
class EnvListView : public QDialog {
    Q_OBJECT
public:
    static constexpr int kMaxVisibleRows = 10;
    static constexpr int kRowHeight = 40;
    static constexpr int kWidth = 532;

    explicit EnvListView(QWidget* parent = nullptr);

    // Lists the environments of app.dat, marking `currentKey`.
    void fillEnvList(const QString& currentKey);
    QString currentKey() const { return curKey; }
    SwitchEnvConfirm* confirmation() const { return confirmDialog; }

Q_SIGNALS:
    void sigSwitchEnv(QString envKey);

public Q_SLOTS:
    void SlotIndexClicked(QString key, QString name);
    void SlotIndexHover();

protected:
    void paintEvent(QPaintEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    EnvListDelegate* delegate;
    QStandardItemModel* model;
    QTableView* view;
    QPointer<SwitchEnvConfirm> confirmDialog;
    QString curKey;
    int visibleRows = kMaxVisibleRows;
};
