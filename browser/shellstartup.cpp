#include "shellstartup.h"

#include "agentprocess.h"
#include "browserclient.h"
#include "browserwindow.h"
#include "deviceid.h"
#include "foundation/quitsignal.h"
#include "instancelock.h"
#include "plainlog.h"
#include "shellconfig.h"
#include "shellplatform.h"
#include "shellqt.h"
#include "singleinstance.h"
#include "ui/globalshortcut.h"
#include "webenginebrowser.h"
#include "windowcontrolserver.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QWebEngineProfile>
#include <QWindow>

namespace {
// The front end shown when app.dat lists no environment; empty: the no-environment page.
const std::string kBuiltInBaseUrl(VELLOX_FRONTEND_BASE_URL);
const QString kProfileName = QStringLiteral("vellox-browser");

int refuseWithoutAppDat(QuitSignal& quitSignal)
{
    shellLog("ERROR: Failed to load app.dat");
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Failed to load app.dat"),
                    QMessageBox::Ok);
    QObject::connect(&quitSignal, &QuitSignal::quitRequested, &box, &QMessageBox::reject);
    box.exec();
    return 1;
}

void startAgent(AgentProcess& agent, const ShellPaths& paths)
{
    // A second agent would only find this one and exit, and the shell would close with it.
    if (AgentProcess::isAgentRunning())
        shellLog("vellox already running");
    else if (agent.launch(qtPath(paths.installFolder) + QLatin1Char('/')))
        shellLog("vellox launched");
    else
        shellLog("ERROR: Failed to launch vellox: " + agent.errorString().toStdString());
}

// A start that cannot go on: the agent this shell started goes with it.
int failStart(AgentProcess& agent, const std::string& what, const QString& why)
{
    shellLog(what);
    if (!why.isEmpty())
        shellLog("ERROR: " + why.toStdString());
    agent.terminate();
    return 1;
}

// From the engine's start to the end of its loop; the exit code.
int runBrowser(QuitSignal& quitSignal, WindowControlServer& windowServer, AgentProcess& agent,
               const ShellConfig& config, const ShellPaths& paths)
{
    const QString missing = missingEngineParts();
    if (!missing.isEmpty())
        return failStart(agent, "ERROR: CefInitialize failed", QStringLiteral("missing: ") + missing);
    QWebEngineProfile profile(kProfileName);
    configureProfile(profile, paths);
    shellLog("CefInitialize succeeded");

    BrowserWindow window(QString::fromStdString(config.appName));
    window.show();
    if (!window.windowHandle() || !window.windowHandle()->screen())
        return failStart(agent, "ERROR: Window creation failed", QStringLiteral("no screen to show it on"));
    windowServer.attachWindow(&window);
    shellLog("Window created");

    BrowserClient client(&window, config, paths, kBuiltInBaseUrl, computeDeviceId(),
                         siteAllowsDevTools(paths, agentSettingsForThisProcess()));
    // Whoever registers first owns it (the agent wants it too); if not the shell, Ctrl+Alt+K
    // still works in its window, and the refusal goes to standard error (cef_debug.log).
    GlobalShortcut hotKey(QKeySequence(Qt::CTRL | Qt::ALT | Qt::Key_K));
    QObject::connect(&hotKey, &GlobalShortcut::activated, &client, &BrowserClient::showEnvMenu);
    // When the agent holds it, the agent hands it over while this window is in front.
    QObject::connect(&windowServer, &WindowControlServer::envMenuRequested, &client,
                     &BrowserClient::onEnvMenuHandedOver);

    WebEngineBrowser browser(&profile, &window);
    client.OnAfterCreated(&browser);
    browser.loadUrl(startPage(config, paths));
    shellLog("CreateBrowser called, entering message loop");

    // Once closing has begun nobody is told the window is there, and a new start waits.
    QObject::connect(&window, &BrowserWindow::closeRequested, &windowServer, &WindowControlServer::stopListening);
    QObject::connect(&client, &BrowserClient::closed, qApp, &QCoreApplication::quit);
    QObject::connect(&quitSignal, &QuitSignal::quitRequested, &window, &QWidget::close);
    if (agent.isStarted()) {
        QObject::connect(&agent, &AgentProcess::ended, &window, &QWidget::close, Qt::QueuedConnection);
        agent.startWatcher();
    }

    QApplication::exec();
    shellLog("Message loop exited");
    agent.terminate();
    shellLog("Child process terminated");
    // Leaving: the browser's pages go before the profile they belong to.
    return 0;
}
} // namespace

void initShellResources()
{
    Q_INIT_RESOURCE(browser);
}

int runShell(int argc, char** argv)
{
    if (ShellPlatform::runsAsAdministrator())
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QCoreApplication::setApplicationName(QStringLiteral("vellox-browser"));
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false); // DevTools and popups never end the shell
    initShellResources();
    // Installed first, so a request to end that comes early is kept until the loop runs.
    QuitSignal quitSignal;

    InstanceLock lock;
    if (claimInstance(lock) != InstanceRole::Primary)
        return 0;
    // At once, before the slow engine start, so a second start finds this one.
    WindowControlServer windowServer;
    const bool listening = windowServer.listen();

    const ShellPaths paths = shellPathsForThisProcess();
    QDir().mkpath(qtPath(paths.dataFolder));
    setShellLogPath(paths.startupLog());
    shellLog("=== Browser shell starting ===");
    if (!listening)
        shellLog("ERROR: Window socket not available: " + windowServer.errorString().toStdString());

    ShellConfig config;
    if (!loadShellConfig(paths, kBuiltInBaseUrl, config))
        return refuseWithoutAppDat(quitSignal);
    shellLog("Config loaded, URL: " + startPage(config, paths).toEncoded().toStdString());

    // The agent ends before the lock is let go, so a new shell never meets the old agent.
    AgentProcess agent;
    startAgent(agent, paths);
    // After the agent has its own standard error: the engine's messages are the shell's.
    ShellPlatform::redirectStandardError(qtPath(paths.engineLog()));

    const int result = runBrowser(quitSignal, windowServer, agent, config, paths);
    lock.release();
    if (result == 0)
        shellLog("=== Browser shell exiting ===");
    return result;
}
