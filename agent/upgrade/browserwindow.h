#pragma once

#include <QObject>

#include <functional>
#include <memory>

// The browser shell's window as the agent sees it, to time the upgrade dialog and to keep the
// shell from taking input while the dialog is open. Every request is answered later on the
// calling (GUI) thread, never by waiting: a shell that does not run, or does not answer in
// time, has no window.
class KELBrowserWindow : public QObject {
    Q_OBJECT
public:
    explicit KELBrowserWindow(QObject* parent = nullptr);
    ~KELBrowserWindow() override;

    // `done(true)` when the window exists, is shown and is not minimised.
    void queryVisible(std::function<void(bool visible)> done);
    void setEnabled(bool enabled);
    // Restores, shows, raises and focuses the window.
    void activate();

    class Impl;

private:
    std::unique_ptr<Impl> d;
};
