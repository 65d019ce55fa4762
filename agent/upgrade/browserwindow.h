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
    // Disabled over a link of its own that stays open until enabled: when the agent ends in
    // any way, the closed link gives the shell its input back.
    void setEnabled(bool enabled);
    // Restores, shows, raises and focuses the window.
    void activate();
    // Offers Ctrl+Alt+K to the shell; `done(true)` when its window was in front and took it.
    void offerEnvMenu(std::function<void(bool taken)> done);
    // The agent is quitting: a disabled shell is enabled now, before the process ends.
    void release();

    class Impl;

private:
    std::unique_ptr<Impl> d;
};
