#include "webenginebrowser.h"

#include "shellqt.h"

#include <QVBoxLayout>
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

WebEngineBrowser::WebEngineBrowser(QWebEngineProfile* profile, QWidget* window, QObject* parent)
    : QObject(parent)
    , profile(profile)
{
    mainView = new QWebEngineView(window);
    auto* page = new ShellPage(profile, *this, mainView);
    mainView->setPage(page);
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

void WebEngineBrowser::showDevTools()
{
    if (!mainView || closing)
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
    connect(page, &QWebEnginePage::windowCloseRequested, view, &QWidget::close);
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
