#include "webenginebrowser.h"

#include "shellqt.h"

#include <QAction>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineView>
#include <QWidget>

namespace {
QWebEngineView* newTopLevelView(const QString& title)
{
    auto* view = new QWebEngineView;
    view->setAttribute(Qt::WA_DeleteOnClose);
    if (!title.isEmpty())
        view->setWindowTitle(title);
    return view;
}
} // namespace

ShellPage::ShellPage(QWebEngineProfile* profile, WebEngineBrowser& browser, QObject* parent)
    : QWebEnginePage(profile, parent)
    , browser(browser)
{
}

QWebEnginePage* ShellPage::createWindow(WebWindowType)
{
    return browser.isClosing() ? nullptr : browser.openPopup();
}

bool ShellPage::acceptNavigationRequest(const QUrl& url, NavigationType, bool isMainFrame)
{
    if (!isMainFrame)
        return true;
    if (browser.mayShow(url)) {
        showedSomething = true;
        return true;
    }
    if (!showedSomething)
        Q_EMIT refusedBeforeShowing();
    return false;
}

WebEngineBrowser::WebEngineBrowser(QWebEngineProfile* profile, QWidget* window, QObject* parent)
    : QObject(parent)
    , profile(profile)
{
    mainView = new QWebEngineView(window);
    auto* page = new ShellPage(profile, *this, mainView);
    mainView->setPage(page);
    applyDevToolsRule(page);
    auto* layout = new QVBoxLayout(window);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(mainView);
    connect(page, &QWebEnginePage::loadFinished, this, [this, page](bool ok) {
        if (ok)
            Q_EMIT loadEnd(page->url());
    });
    connect(page, &QObject::destroyed, this, &WebEngineBrowser::closed);
}

WebEngineBrowser::~WebEngineBrowser()
{
    // Pages must be gone before the profile is.
    delete devTools;
    qDeleteAll(popups);
    delete mainView;
}

QUrl WebEngineBrowser::url() const
{
    return mainView ? mainView->page()->url() : QUrl();
}

void WebEngineBrowser::loadUrl(const QUrl& url)
{
    if (mainView && !closing)
        mainView->page()->load(url);
}

void WebEngineBrowser::executeJavaScript(const QString& script)
{
    if (mainView && !closing)
        mainView->page()->runJavaScript(script, QWebEngineScript::MainWorld);
}

void WebEngineBrowser::setCookie(const QNetworkCookie& cookie, const QUrl& origin)
{
    profile->cookieStore()->setCookie(cookie, origin);
}

void WebEngineBrowser::setDevToolsAllowed(bool allowed)
{
    devToolsAllowed = allowed;
    if (mainView)
        applyDevToolsRule(mainView->page());
    for (const QPointer<QWebEngineView>& popup : popups) {
        if (popup)
            applyDevToolsRule(popup->page());
    }
}

void WebEngineBrowser::applyDevToolsRule(QWebEnginePage* page) const
{
    if (QAction* inspect = page->action(QWebEnginePage::InspectElement))
        inspect->setVisible(devToolsAllowed);
}

void WebEngineBrowser::showDevTools()
{
    if (!mainView || closing || !devToolsAllowed)
        return;
    if (!devTools) {
        devTools = newTopLevelView(QStringLiteral("DevTools"));
        auto* page = new QWebEnginePage(profile, devTools);
        devTools->setPage(page);
        mainView->page()->setDevToolsPage(page);
        devTools->show();
    }
    devTools->showNormal();
    devTools->raise();
    devTools->activateWindow();
}

ShellPage* WebEngineBrowser::openPopup()
{
    QWebEngineView* view = newTopLevelView(QString());
    auto* page = new ShellPage(profile, *this, view);
    view->setPage(page);
    applyDevToolsRule(page);
    connect(page, &QWebEnginePage::windowCloseRequested, view, &QWidget::close);
    // Closed from the event loop: the page is inside its navigation request now.
    connect(page, &ShellPage::refusedBeforeShowing, view, &QWidget::close, Qt::QueuedConnection);
    connect(page, &QWebEnginePage::titleChanged, view, &QWidget::setWindowTitle);
    connect(page, &QWebEnginePage::geometryChangeRequested, view, [view](const QRect& geometry) {
        view->setGeometry(geometry);
    });
    popups.removeAll(nullptr);
    popups.append(view);
    view->show();
    return page;
}

void WebEngineBrowser::close()
{
    if (closing)
        return;
    closing = true;
    delete devTools;
    qDeleteAll(popups);
    popups.clear();
    if (mainView)
        mainView->deleteLater();
}

QString missingEngineParts()
{
    // Where Qt WebEngine itself looks: its variable, else Qt's folders, else beside the program.
    const auto found = [](const char* variable, const QStringList& places, const QString& name, bool executable) {
        QStringList candidates;
        const QString set = qEnvironmentVariable(variable);
        if (!set.isEmpty())
            candidates << (executable ? set : set + QLatin1Char('/') + name);
        else
            for (const QString& place : places)
                candidates << place + QLatin1Char('/') + name;
        for (const QString& candidate : candidates) {
            const QFileInfo file(candidate);
            if (file.isFile() && (!executable || file.isExecutable()))
                return QString();
        }
        return candidates.join(QStringLiteral(" or "));
    };
    const QString program = QCoreApplication::applicationDirPath();
    QStringList missing;
    const QString process = found("QTWEBENGINEPROCESS_PATH",
                                  {QLibraryInfo::location(QLibraryInfo::LibraryExecutablesPath), program},
                                  QStringLiteral("QtWebEngineProcess"), true);
    if (!process.isEmpty())
        missing << QStringLiteral("the engine's process (") + process + QLatin1Char(')');
    const QString resources = found("QTWEBENGINE_RESOURCES_PATH",
                                    {QLibraryInfo::location(QLibraryInfo::DataPath) + QStringLiteral("/resources"), program},
                                    QStringLiteral("qtwebengine_resources.pak"), false);
    if (!resources.isEmpty())
        missing << QStringLiteral("the engine's resources (") + resources + QLatin1Char(')');
    return missing.join(QStringLiteral(", "));
}

void configureProfile(QWebEngineProfile& profile, const ShellPaths& paths)
{
    profile.setPersistentStoragePath(qtPath(paths.profileFolder()));
    profile.setCachePath(qtPath(paths.cacheFolder()));
    profile.setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    profile.setHttpAcceptLanguage(QStringLiteral("zh-CN"));
}
