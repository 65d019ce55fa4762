#include "browser.h"

#include "wait.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace vtest {

namespace {
constexpr int kStartMs = 60000;
// Room for the driver's own answer after a script's time-out.
constexpr int kAnswerSlackMs = 10000;
} // namespace

Browser::Browser()
{
    driver.setProgram(QStringLiteral("/usr/bin/python3"));
    driver.setArguments({QStringLiteral(VELLOX_TEST_SUPPORT_DIR "/chromium_driver.py")});
    // The driver's and the browser's diagnostics go where the test's own do.
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start();
    if (!driver.waitForStarted(kStartMs)) {
        lastError = QStringLiteral("the browser driver did not start: ") + driver.errorString();
        return;
    }
    const auto hello = takeLine([](const QJsonObject& line) { return line.contains("ready"); }, kStartMs);
    if (!hello) {
        lastError = QStringLiteral("the browser did not start in time");
        return;
    }
    ready = hello->value("ready").toBool();
    if (!ready)
        lastError = hello->value("error").toString();
}

Browser::~Browser()
{
    if (driver.state() == QProcess::NotRunning)
        return;
    if (ready)
        call(QJsonObject{{"op", "quit"}}, kWaitMs);
    driver.closeWriteChannel();
    if (!driver.waitForFinished(kWaitMs)) {
        driver.kill();
        driver.waitForFinished(kWaitMs);
    }
}

std::optional<QJsonObject> Browser::takeLine(const std::function<bool(const QJsonObject&)>& match, int timeoutMs)
{
    std::optional<QJsonObject> found;
    auto scan = [&] {
        buffered += driver.readAllStandardOutput();
        for (int end = buffered.indexOf('\n'); end >= 0; end = buffered.indexOf('\n')) {
            const QJsonObject line = QJsonDocument::fromJson(buffered.left(end)).object();
            buffered.remove(0, end + 1);
            if (match(line)) {
                found = line;
                return true;
            }
        }
        return driver.state() == QProcess::NotRunning;
    };
    waitUntil(scan, timeoutMs);
    if (!found && driver.state() == QProcess::NotRunning)
        lastError = QStringLiteral("the browser driver ended");
    return found;
}

std::optional<QJsonObject> Browser::call(QJsonObject request, int timeoutMs)
{
    if (!ready)
        return std::nullopt;
    const int id = ++nextId;
    request.insert("id", id);
    driver.write(QJsonDocument(request).toJson(QJsonDocument::Compact) + '\n');
    const auto reply = takeLine([id](const QJsonObject& line) { return line.value("id").toInt() == id; }, timeoutMs);
    if (!reply) {
        if (lastError.isEmpty())
            lastError = QStringLiteral("no answer from the browser to ") + request.value("op").toString();
        return std::nullopt;
    }
    if (!reply->value("ok").toBool()) {
        lastError = reply->value("error").toString();
        return std::nullopt;
    }
    lastError.clear();
    return reply;
}

bool Browser::open(const QString& url)
{
    return call(QJsonObject{{"op", "open"}, {"url", url}}, kWaitMs).has_value();
}

std::optional<QJsonValue> Browser::evaluate(const QString& script, int timeoutMs)
{
    const auto reply = call(QJsonObject{{"op", "eval"}, {"script", script}, {"timeoutMs", timeoutMs}},
                            timeoutMs + kAnswerSlackMs);
    if (!reply)
        return std::nullopt;
    return reply->value("value");
}

bool Browser::waitFor(const QString& expression, int timeoutMs)
{
    const QString script = QStringLiteral("return !!(%1);").arg(expression);
    return waitUntil([&] {
        const auto value = evaluate(script);
        return value && value->toBool();
    }, timeoutMs);
}

bool Browser::screenshot(const QString& pngPath)
{
    return call(QJsonObject{{"op", "screenshot"}, {"path", pngPath}}, kWaitMs).has_value();
}

QStringList Browser::consoleMessages()
{
    QStringList lines;
    if (const auto reply = call(QJsonObject{{"op", "console"}}, kWaitMs)) {
        for (const QJsonValue& line : reply->value("value").toArray())
            lines.append(line.toString());
    }
    return lines;
}

Browser* BrowserTest::shared = nullptr;

void BrowserTest::SetUpTestSuite()
{
    shared = new Browser();
}

void BrowserTest::TearDownTestSuite()
{
    delete shared;
    shared = nullptr;
}

void BrowserTest::SetUp()
{
    ASSERT_TRUE(shared && shared->isReady()) << (shared ? shared->errorString().toStdString() : "no browser");
}

std::optional<QJsonValue> BrowserTest::js(const QString& script)
{
    const auto value = shared->evaluate(script);
    EXPECT_TRUE(value.has_value()) << script.toStdString() << ": " << shared->errorString().toStdString();
    return value;
}

QString BrowserTest::jsString(const QString& text)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

void BrowserTest::printPageConsole()
{
    std::fprintf(stderr, "page console:\n%s\n", shared->consoleMessages().join('\n').toUtf8().constData());
}

} // namespace vtest
