#pragma once

#include <QDialog>
#include <QPoint>
#include <QRect>
#include <QSize>

class QLabel;

// A short dark message bubble; it deletes itself when closed and closes on a click.
class KELToastMessage : public QDialog {
    Q_OBJECT
public:
    explicit KELToastMessage(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const;
    void setTimeLimit(int milliseconds) { timeLimitMs = milliseconds; }
    int timeLimit() const { return timeLimitMs; }

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    QLabel* iconLabel;
    QLabel* textLabel;
    int timeLimitMs = 0; // 0: until clicked
};

// Shows `text` for `durationMs` milliseconds (0: until clicked) over `parent` when that is
// visible, else on top of everything, centred across the screen under the pointer at a third of
// its height (both within the screen's panels).
KELToastMessage* showToast(QWidget* parent, const QString& text, int durationMs);
// Where a toast of `toast`'s size goes on a screen whose free area is `available`.
QPoint toastPosition(const QRect& available, const QSize& toast);
