#pragma once

#include "plainlog.h"
#include "shellconfig.h"
#include "shellrules.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <memory>
#include <string>

class BrowserWindow;
class QKeyEvent;
class QMenu;
class WebEngineBrowser;

// The client of the shell's browser. Its handlers keep the names a CEF client has, and are
// called by the window and the WebEngine adapter at the matching moments:
//   OnAfterCreated  the view and its page exist
//   DoClose         the window is closing; the browser closes with it
//   OnBeforeClose   the page is gone: the shell's loop ends (closed())
//   OnPreKeyEvent   a key press in the main window, before the page sees it
//   OnLoadEnd       the main frame finished loading
//   OnBeforeBrowse  the main frame of the window or of a popup is about to show an address
class BrowserClient : public QObject {
    Q_OBJECT
public:
    // A key press as the handlers see it: Windows key code and CEF's modifier flags.
    struct KeyEvent {
        int windowsKeyCode = 0;
        int modifiers = 0;
    };
    static constexpr int kShiftFlag = 0x2;
    static constexpr int kControlFlag = 0x4;
    static constexpr int kAltFlag = 0x8;
    static constexpr int kF12Code = 123;
    static constexpr int kKCode = 75;

    enum class KeyAction { None, OpenDevTools, ShowEnvMenu };

    static KeyEvent keyEventFrom(const QKeyEvent& event);
    static KeyAction actionFor(const KeyEvent& event);
    // One item per environment in order, labelled by name or else by key; each item's data
    // is its position from 1.
    static std::unique_ptr<QMenu> buildEnvMenu(const std::vector<ShellEnvironment>& environments);
    // The origins of the shell's own servers: the environments' and the built-in front end's.
    static std::vector<std::string> shellUrls(const ShellConfig& config, const std::string& builtInBase);

    // `devToolsAllowed`: the site allows DevTools (ShellRules::devToolsAllowed).
    BrowserClient(BrowserWindow* window, const ShellConfig& config, const ShellPaths& paths,
                  const std::string& builtInBase, std::string deviceId, bool devToolsAllowed,
                  QObject* parent = nullptr);
    ~BrowserClient() override;

    void OnAfterCreated(WebEngineBrowser* browser);
    bool DoClose();
    void OnBeforeClose();
    bool OnPreKeyEvent(const KeyEvent& event);
    void OnLoadEnd(const QUrl& url);
    // False when the address is not shown: another site goes to the desktop's browser.
    bool OnBeforeBrowse(const QUrl& url);

    void openDevTools();
    void showEnvMenu();
    // Ctrl+Alt+K pressed while this window was in front, taken by the agent's key grab.
    void onEnvMenuHandedOver();

    std::string currentUrl() const { return url; }

Q_SIGNALS:
    void closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void onWindowClose();
    void runEnvMenu();
    void logKey(const KeyEvent& event, const QString& what);
    // The device cookie, for the origin of `url` when it is one of the shell's own.
    void tagOrigin(const QUrl& url);

    QPointer<BrowserWindow> mainWindow;
    std::string url;
    std::string deviceId;
    const ShellConfig& config;
    ShellPaths paths;
    ShellRules::ShellOrigins origins;
    bool devToolsAllowed;
    QPointer<WebEngineBrowser> browser;
    PlainLog keyLog {PlainLog::Stamp::TimeOnly};
    bool menuPending = false;
    QPointer<QMenu> openMenu;
};
