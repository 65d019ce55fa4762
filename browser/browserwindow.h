#pragma once

#include <QWidget>

// The shell's one top-level window: 0.8 of the primary screen, centred, titled with the
// application's name whatever page it shows. Closing it only announces the close; the
// browser decides how the shell ends.
class BrowserWindow : public QWidget {
    Q_OBJECT
public:
    explicit BrowserWindow(const QString& title, QWidget* parent = nullptr);

Q_SIGNALS:
    void closeRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
};
