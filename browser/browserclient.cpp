#include "browserclient.h"

#include "browserwindow.h"
#include "webenginebrowser.h"

#include <QAction>
#include <QApplication>
#include <QDateTime>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMenu>
#include <QNetworkCookie>
#include <QWindow>

namespace {

int windowsKeyCode(int key)
{
    // Letters and digits share their codes with Qt; function keys start at 112 (F1).
    if ((key >= Qt::Key_A && key <= Qt::Key_Z) || (key >= Qt::Key_0 && key <= Qt::Key_9))
        return key;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return 112 + (key - Qt::Key_F1);
    return 0;
}
} // namespace

BrowserClient::KeyEvent BrowserClient::keyEventFrom(const QKeyEvent& event)
{
    KeyEvent key;
    key.windowsKeyCode = windowsKeyCode(event.key());
    const Qt::KeyboardModifiers modifiers = event.modifiers();
    if (modifiers & Qt::ShiftModifier)
        key.modifiers |= kShiftFlag;
    if (modifiers & Qt::ControlModifier)
        key.modifiers |= kControlFlag;
    if (modifiers & Qt::AltModifier)
        key.modifiers |= kAltFlag;
    return key;
}

BrowserClient::KeyAction BrowserClient::actionFor(const KeyEvent& event)
{
    if (event.windowsKeyCode == kF12Code)
        return KeyAction::OpenDevTools;
    const int both = kControlFlag | kAltFlag;
    if (event.windowsKeyCode == kKCode && (event.modifiers & both) == both)
        return KeyAction::ShowEnvMenu;
    return KeyAction::None;
}

std::unique_ptr<QMenu> BrowserClient::buildEnvMenu(const std::vector<ShellEnvironment>& environments)
{
    auto menu = std::make_unique<QMenu>();
    int id = 0;
    for (const ShellEnvironment& environment : environments) {
        const std::string& label = environment.name.empty() ? environment.key : environment.name;
        menu->addAction(QString::fromStdString(label))->setData(++id);
    }
    return menu;
}

std::vector<std::string> BrowserClient::shellUrls(const ShellConfig& config, const std::string& builtInBase)
{
    std::vector<std::string> urls;
    for (const ShellEnvironment& environment : config.environments)
        urls.push_back(environment.url);
    if (!builtInBase.empty())
        urls.push_back(builtInBase);
    return urls;
}

BrowserClient::BrowserClient(BrowserWindow* window, const ShellConfig& config, const ShellPaths& paths,
                             const std::string& builtInBase, std::string deviceId, bool devToolsAllowed,
                             QObject* parent)
    : QObject(parent)
    , mainWindow(window)
    , url(config.frontEndUrl)
    , deviceId(std::move(deviceId))
    , config(config)
    , paths(paths)
    , origins(shellUrls(config, builtInBase))
    , devToolsAllowed(devToolsAllowed)
{
    keyLog.setPath(paths.keyLog());
    connect(window, &BrowserWindow::closeRequested, this, &BrowserClient::onWindowClose);
    qApp->installEventFilter(this);
}

BrowserClient::~BrowserClient()
{
    qApp->removeEventFilter(this);
}

void BrowserClient::OnAfterCreated(WebEngineBrowser* created)
{
    browser = created;
    created->setDevToolsAllowed(devToolsAllowed);
    created->setNavigationCheck([this](const QUrl& address) { return OnBeforeBrowse(address); });
    connect(created, &WebEngineBrowser::loadEnd, this, &BrowserClient::OnLoadEnd);
    connect(created, &WebEngineBrowser::closed, this, &BrowserClient::OnBeforeClose);
    // Before the first request, so that request already says which PC it comes from.
    tagOrigin(QUrl::fromEncoded(QByteArray::fromStdString(url)));
}

void BrowserClient::onWindowClose()
{
    if (browser)
        DoClose();
    else
        Q_EMIT closed();
}

bool BrowserClient::DoClose()
{
    if (openMenu)
        openMenu->close();
    if (browser)
        browser->close();
    return false; // the window closes as asked
}

void BrowserClient::OnBeforeClose()
{
    browser = nullptr;
    Q_EMIT closed();
}

// Only the main window's own key presses: its QWindow sees each one once, before the widget
// that holds the page, so a handled key never reaches the page.
bool BrowserClient::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() != QEvent::KeyPress || !mainWindow || watched != mainWindow->windowHandle())
        return false;
    if (!mainWindow->isEnabled()) // another program's dialog stands over the shell
        return true;
    return OnPreKeyEvent(keyEventFrom(*static_cast<QKeyEvent*>(event)));
}

bool BrowserClient::OnPreKeyEvent(const KeyEvent& event)
{
    switch (actionFor(event)) {
    case KeyAction::OpenDevTools:
        if (!devToolsAllowed) {
            // Nobody at the PC reads the pages' data, cookies and storage unless the site allows it.
            logKey(event, QStringLiteral("F12 detected, DevTools are off (devmode is not 1)"));
            return true;
        }
        logKey(event, QStringLiteral("F12 detected, opening DevTools"));
        openDevTools();
        return true;
    case KeyAction::ShowEnvMenu:
        logKey(event, QStringLiteral("Ctrl+Alt+K detected, showing env switch"));
        showEnvMenu();
        return true;
    case KeyAction::None:
        break;
    }
    // Keys the shell does not act on are not written down: they are what the user types.
    return false;
}

void BrowserClient::logKey(const KeyEvent& event, const QString& what)
{
    keyLog.write(QStringLiteral("KeyDown: code=%1 modifiers=0x%2")
                     .arg(event.windowsKeyCode)
                     .arg(event.modifiers, 0, 16)
                     .toStdString());
    keyLog.write(what.toStdString());
}

void BrowserClient::OnLoadEnd(const QUrl& loaded)
{
    // Renewed at every load, so it lives a year from the last visit.
    tagOrigin(loaded);
}

void BrowserClient::tagOrigin(const QUrl& address)
{
    if (deviceId.empty() || !browser)
        return;
    // Into the profile's store for exactly that origin: no script runs in a document that
    // may already show another site than the one that finished loading.
    const std::string origin = origins.deviceCookieOrigin(address.toString(QUrl::FullyEncoded).toStdString());
    if (origin.empty())
        return;
    QNetworkCookie cookie(ShellRules::kDeviceCookieName, QByteArray::fromStdString(deviceId));
    cookie.setPath(QStringLiteral("/"));
    cookie.setExpirationDate(QDateTime::currentDateTimeUtc().addSecs(ShellRules::kDeviceCookieLifetimeSeconds));
    const QUrl originUrl(QString::fromStdString(origin));
    cookie.setSecure(originUrl.scheme() == QLatin1String("https"));
    browser->setCookie(cookie, originUrl);
}

bool BrowserClient::OnBeforeBrowse(const QUrl& address)
{
    // The shell's own pages (the one that says app.dat lists no environment).
    if (address.scheme() == QLatin1String("qrc"))
        return true;
    const QByteArray text = address.toEncoded();
    switch (origins.navigationTo(text.toStdString())) {
    case ShellRules::Navigation::Show:
        return true;
    case ShellRules::Navigation::OpenInSystemBrowser:
        // A window without an address bar that holds the teacher's session is no place for
        // another site: the desktop's browser shows it, with its address.
        qInfo("navigation to another site, opened in the system browser: %s", text.constData());
        QDesktopServices::openUrl(address);
        return false;
    case ShellRules::Navigation::Refuse:
        break;
    }
    qInfo("navigation refused: %s", text.left(200).constData());
    return false;
}

void BrowserClient::openDevTools()
{
    if (browser && devToolsAllowed)
        browser->showDevTools();
}

void BrowserClient::onEnvMenuHandedOver()
{
    keyLog.write("Ctrl+Alt+K handed over by the agent, showing env switch");
    showEnvMenu();
}

void BrowserClient::showEnvMenu()
{
    if (!browser || config.environments.empty() || !mainWindow)
        return;
    if (!mainWindow->isEnabled()) {
        qInfo("env switch not shown: another program's dialog stands over the window");
        return;
    }
    if (menuPending || openMenu) {
        qInfo("env switch already open");
        return;
    }
    // Out of the key handler: the menu runs a loop of its own until the user chooses.
    menuPending = true;
    QMetaObject::invokeMethod(this, &BrowserClient::runEnvMenu, Qt::QueuedConnection);
}

void BrowserClient::runEnvMenu()
{
    menuPending = false;
    if (!browser || !mainWindow)
        return;
    std::unique_ptr<QMenu> menu = buildEnvMenu(config.environments);
    openMenu = menu.get();
    menu->adjustSize();
    // Told because a menu that closes on its own is otherwise invisible.
    connect(menu.get(), &QMenu::aboutToShow, this, [] { qInfo("env switch shown"); });
    const QPoint centre = mainWindow->frameGeometry().center();
    QAction* chosen = menu->exec(centre - QPoint(menu->width() / 2, menu->height() / 2));
    const int id = chosen ? chosen->data().toInt() : 0;
    menu.reset();
    qInfo("env switch closed, chosen: %d", id);
    if (id < 1 || id > int(config.environments.size()) || !browser || browser->isClosing())
        return;
    const ShellEnvironment& environment = config.environments[size_t(id - 1)];
    url = frontEndUrlFor(environment.url);
    if (!writeEnvKey(paths, environment.key))
        shellLog("ERROR: Failed to write env.dat");
    tagOrigin(QUrl::fromEncoded(QByteArray::fromStdString(url)));
    browser->loadUrl(QUrl::fromEncoded(QByteArray::fromStdString(url)));
}
