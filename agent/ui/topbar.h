#pragma once

#include <QList>
#include <QWidget>

class QLabel;

// The title bar of the agent's windows: logo, "name vVersion", minimise and close.
class topbar : public QWidget {
    Q_OBJECT
public:
    enum BtnType { Minimize = 0, Close = 1 };
    Q_ENUM(BtnType)

    explicit topbar(QWidget* parent = nullptr);

    // The labels that act as buttons: a drag of the window never starts on them.
    QList<QWidget*> buttons() const;

Q_SIGNALS:
    void signalBarType(topbar::BtnType type);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QLabel* iconLabel;
    QLabel* titleLabel;
    QLabel* minimizeLabel;
    QLabel* closeLabel;
};
