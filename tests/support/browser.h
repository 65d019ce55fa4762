#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace vtest {

// Debian's Chromium, headless, with a fresh profile, driven through Selenium and chromedriver
// (tests/support/chromium_driver.py) from the test's thread. Starting takes seconds: a test
// program makes one and shares it between its cases. Every call waits with a deadline while
// processing Qt events, so test servers in the process keep serving.
class Browser {
public:
    static constexpr int kWaitMs = 30000;

    Browser();
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // False when the browser did not start; errorString() says why.
    bool isReady() const { return ready; }
    QString errorString() const { return lastError; }

    bool open(const QString& url);
    // Runs `script` as the body of a function in the page (WebDriver's execute script: use
    // "return …"; a returned promise is awaited) and gives its result as JSON. Empty when the
    // script threw or timed out; errorString() says why.
    std::optional<QJsonValue> evaluate(const QString& script, int timeoutMs = kWaitMs);
    // Evaluates `expression` until it is truthy; false at the deadline.
    bool waitFor(const QString& expression, int timeoutMs = kWaitMs);
    bool screenshot(const QString& pngPath);
    // The page's console lines since the last call (for failure reports).
    QStringList consoleMessages();

private:
    std::optional<QJsonObject> call(QJsonObject request, int timeoutMs);
    std::optional<QJsonObject> takeLine(const std::function<bool(const QJsonObject&)>& match, int timeoutMs);

    QProcess driver;
    QByteArray buffered;
    bool ready = false;
    QString lastError;
    int nextId = 0;
};

// A test suite whose cases share one browser (it starts once for the suite).
class BrowserTest : public ::testing::Test {
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    static Browser& browser() { return *shared; }
    // Runs `script` in the page; a script that throws fails the test.
    std::optional<QJsonValue> js(const QString& script);
    // `text` as a JavaScript string literal.
    static QString jsString(const QString& text);
    // The page's console, for a failing test's report.
    void printPageConsole();

private:
    static Browser* shared;
};

} // namespace vtest
