#pragma once

#include <QList>
#include <QNetworkCookie>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

#include <functional>

class QWebEngineProfile;

class QWidget;
struct ShellPaths;

class WebEngineBrowser;

// A page of the shell: the main page or a popup. Popups the page opens become pages of their
// own in top-level windows.
class ShellPage : public QWebEnginePage {
    Q_OBJECT
public:
    ShellPage(QWebEngineProfile* profile, WebEngineBrowser& browser, QObject* parent);

Q_SIGNALS:
    // A popup's first address was not shown: its window has nothing to show.
    void refusedBeforeShowing();

protected:
    QWebEnginePage* createWindow(WebWindowType type) override;
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;

private:
    WebEngineBrowser& browser;
    bool showedSomething = false;
};

// The shell's browser over Qt WebEngine: what the client's handlers need of it, like a CEF
// browser gives them. The view fills the window it is given; DevTools and popups are windows
// of their own that close with it.
class WebEngineBrowser : public QObject {
    Q_OBJECT
public:
    WebEngineBrowser(QWebEngineProfile* profile, QWidget* window, QObject* parent = nullptr);
    ~WebEngineBrowser() override;

    QWebEngineView* view() const { return mainView; }
    QUrl url() const;
    void loadUrl(const QUrl& url);
    void executeJavaScript(const QString& script);
    // Into the profile's cookie store, for `origin` only.
    void setCookie(const QNetworkCookie& cookie, const QUrl& origin);

    // Asked before the main frame of the window or of a popup shows an address; false keeps
    // it from showing it. Frames inside a page are the page's business.
    using NavigationCheck = std::function<bool(const QUrl&)>;
    void setNavigationCheck(NavigationCheck check) { navigationCheck = std::move(check); }
    bool mayShow(const QUrl& url) const { return !navigationCheck || navigationCheck(url); }

    // Without it neither F12 nor the page's context menu offers the developer tools.
    void setDevToolsAllowed(bool allowed);
    // Opens the developer tools for the page, or raises them when they are open.
    void showDevTools();
    // Closes DevTools and popups at once and the page soon after; closed() follows.
    void close();
    bool isClosing() const { return closing; }

    ShellPage* openPopup();

Q_SIGNALS:
    void loadEnd(const QUrl& url); // the main frame finished loading a page
    void closed();                 // the page is gone

private:
    QWebEngineProfile* profile;
    QPointer<QWebEngineView> mainView;
    QPointer<QWebEngineView> devTools;
    QList<QPointer<QWebEngineView>> popups;
    bool closing = false;
    bool devToolsAllowed = true;
    NavigationCheck navigationCheck;

    void applyDevToolsRule(QWebEnginePage* page) const;
};

// The shell's web profile: named, so cookies and storage persist in the data folder.
void configureProfile(QWebEngineProfile& profile, const ShellPaths& paths);

// What of Qt WebEngine's installation is missing where Qt looks for it (its helper process, its
// resources), which would end the engine's start with an abort; empty when nothing is.
QString missingEngineParts();
