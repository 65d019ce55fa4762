#pragma once

#include <QDialog>

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
// visible, else on top of everything at a third of the primary screen's height.
KELToastMessage* showToast(QWidget* parent, const QString& text, int durationMs);
