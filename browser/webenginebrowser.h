#pragma once

#include <QList>
#include <QObject>
#include <QPointer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineView>

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

protected:
    QWebEnginePage* createWindow(WebWindowType type) override;

private:
    WebEngineBrowser& browser;
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
};

// The shell's web profile: named, so cookies and storage persist in the data folder.
void configureProfile(QWebEngineProfile& profile, const ShellPaths& paths);
