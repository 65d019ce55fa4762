#include "webenginebrowser.h"

#include "shellqt.h"

#include <QAction>
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

void configureProfile(QWebEngineProfile& profile, const ShellPaths& paths)
{
    profile.setPersistentStoragePath(qtPath(paths.profileFolder()));
    profile.setCachePath(qtPath(paths.cacheFolder()));
    profile.setPersistentCookiesPolicy(QWebEngineProfile::AllowPersistentCookies);
    profile.setHttpAcceptLanguage(QStringLiteral("zh-CN"));
}
