#include "printflowkit.h"

#include "printtestkit.h"
#include "wait.h"

#include <QBuffer>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QRegularExpression>

#include <chrono>

namespace pflow {

namespace {

constexpr int kRed0 = 20;
constexpr int kRedStep = 9;
constexpr int kGreen0 = 40;
constexpr int kGreenStep = 80;
constexpr int kBlue = 100;
constexpr int kGateWaitMs = 180000;

} // namespace

vtest::CupsHarness& cups()
{
    return vtest::CupsHarness::current();
}

testing::Environment* registerPrinter()
{
    return vtest::CupsHarness::registerForProgram(
        {vtest::CupsHarness::Model(kQueue, QStringLiteral("Vellox Generic Duplex Colour"))});
}

QByteArray studentPage(int student, int page)
{
    QImage image(60, 85, QImage::Format_RGB32);
    image.fill(QColor(kRed0 + kRedStep * student, kGreen0 + kGreenStep * page, kBlue));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPG", 95);
    return bytes;
}

QList<PrintedPage> printedPages(const QString& pdfPath)
{
    QList<PrintedPage> pages;
    for (const QImage& image : ptest::renderPdf(pdfPath, 10).pages) {
        const QColor c = ptest::colorAt(image, 0.5, 0.5);
        PrintedPage printed;
        if (std::abs(c.blue() - kBlue) <= 12) {
            printed.student = qRound(double(c.red() - kRed0) / kRedStep);
            printed.page = qRound(double(c.green() - kGreen0) / kGreenStep);
        }
        pages.append(printed);
    }
    return pages;
}

void Gate::open()
{
    std::lock_guard<std::mutex> lock(mutex);
    opened = true;
    changed.notify_all();
}

bool Gate::wait(int timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return opened; });
}

void PrintFlow::SetUp()
{
    ASSERT_TRUE(cups().isRunning()) << cups().errorText().toStdString();
    // Nothing of the test before: no job of it can reach the printer after the count below.
    ASSERT_TRUE(cups().reset()) << "the print server or its printer is still busy:\n"
                                << cups().stateReport().toStdString();
    earlierJobs = cups().jobNames(kQueue).size();
    ASSERT_TRUE(server.isListening());
    // A job that has left the queue is seen within a tenth of a second, not half a second.
    sandbox.setConfig(QStringLiteral("printpollms"), QStringLiteral("100"));
    port = sandbox.startListening({QStringLiteral("--hidden")});
    ASSERT_NE(port, 0);
    ASSERT_TRUE(page.open(port)) << page.errorString().toStdString();
}

void PrintFlow::TearDown()
{
    {
        std::lock_guard<std::mutex> lock(gatesMutex);
        for (auto& entry : gates)
            entry.second->open();
    }
    if (HasFailure()) {
        std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
        std::fprintf(stderr, "print server:\n%s\n", cups().stateReport().toUtf8().constData());
    }
}

std::shared_ptr<Gate> PrintFlow::gate(int student)
{
    std::lock_guard<std::mutex> lock(gatesMutex);
    auto& entry = gates[student];
    if (!entry)
        entry = std::make_shared<Gate>();
    return entry;
}

QString PrintFlow::imageUrl(int student, int page, bool gated)
{
    const QString path = QStringLiteral("/img/s%1/p%2").arg(student).arg(page);
    const QByteArray body = studentPage(student, page);
    if (gated) {
        std::shared_ptr<Gate> studentGate = gate(student);
        server.handle(path, [studentGate, body](const vtest::HttpRequestRecord&) {
            studentGate->wait(kGateWaitMs);
            return vtest::HttpReply::withStatus(200, body, "image/jpeg");
        });
    } else {
        server.serveFile(path, body);
    }
    // The query as the school's servers send it: the name after "=" is the same for every image.
    return server.url(path) + QStringLiteral("?v=1");
}

bool PrintFlow::accepted(vtest::WsClient& client, const QString& cmd, const QJsonValue& data)
{
    const auto reply = client.request(cmd, data);
    return reply && reply->value("ret").toInt() == 200;
}

void PrintFlow::startHeldBatch(vtest::WsClient& client, int first, int count)
{
    cups().setDefaultFate(vtest::CupsHarness::Fate::Hold);
    QJsonArray students;
    for (int s = first; s < first + count; ++s)
        students.append(studentData(s, 1));
    // Counted before the command: the first job may reach the printer before its reply is read.
    const int before = jobs().size();
    ASSERT_TRUE(accepted(client, "printBatch", students));
    ASSERT_TRUE(waitForJobs(before + 1));
}

void PrintFlow::releaseJobsUntil(int count)
{
    for (int i = 0; i < count; ++i) {
        ASSERT_TRUE(waitForJobs(i + 1)) << "job " << i << " did not arrive";
        releaseJob(jobs().at(i));
    }
}

QStringList studentIds(const QList<QJsonObject>& events)
{
    QStringList ids;
    for (const QJsonObject& event : events)
        ids.append(dataOf(event).value("studentId").toString());
    return ids;
}

void PrintFlow::openGate(int student)
{
    gate(student)->open();
}

QJsonObject PrintFlow::studentData(int student, const QStringList& urls) const
{
    return QJsonObject {{QStringLiteral("studentName"), QStringLiteral("student%1").arg(student)},
                        {QStringLiteral("studentId"), QStringLiteral("S%1").arg(student)},
                        {QStringLiteral("imgList"), QJsonArray::fromStringList(urls)},
                        {QStringLiteral("config"), QJsonObject {{QStringLiteral("size"), QStringLiteral("A4")},
                                                                {QStringLiteral("type"), QStringLiteral("whole")}}}};
}

QJsonObject PrintFlow::studentData(int student, int pages, bool gated)
{
    QStringList urls;
    for (int p = 0; p < pages; ++p)
        urls.append(imageUrl(student, p, gated));
    return studentData(student, urls);
}

QSet<int> PrintFlow::requestedStudents() const
{
    QSet<int> students;
    static const QRegularExpression studentPath(QStringLiteral("^/img/s(\\d+)/"));
    for (const vtest::HttpRequestRecord& request : server.requests()) {
        const QRegularExpressionMatch match = studentPath.match(QString::fromUtf8(request.path));
        if (match.hasMatch())
            students.insert(match.captured(1).toInt());
    }
    return students;
}

bool PrintFlow::waitForJobs(int count, int timeoutMs) const
{
    return vtest::waitUntil([&] { return jobs().size() >= count; }, timeoutMs);
}

QList<PrintedPage> PrintFlow::pagesOfJob(const QString& jobName) const
{
    if (!cups().waitForDocument(kQueue, jobName))
        return {};
    return printedPages(cups().keptDocument(kQueue, jobName));
}

QList<int> PrintFlow::printedStudents() const
{
    QList<int> students;
    for (const QString& job : jobs()) {
        const QList<PrintedPage> pages = pagesOfJob(job);
        students.append(pages.isEmpty() ? -1 : pages.first().student);
    }
    return students;
}

void PrintFlow::releaseJob(const QString& jobName)
{
    cups().release(jobName);
}

QStringList PrintFlow::submittedJobs() const
{
    QStringList names;
    static const QRegularExpression registered(QStringLiteral("register tracked print job\\. uniqueId=([^,]+),"));
    QRegularExpressionMatchIterator it = registered.globalMatch(sandbox.readLog());
    while (it.hasNext())
        names.append(it.next().captured(1));
    return names;
}

QStringList PrintFlow::downloadedFiles() const
{
    QStringList files;
    QDirIterator it(sandbox.dataFolder() + QStringLiteral("/download"), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

int PrintFlow::logCount(const QString& text) const
{
    return sandbox.readLog().count(text);
}

QList<QJsonObject> PrintFlow::waitForEvents(vtest::WsClient& client, const QStringList& cmds, int count,
                                            int timeoutMs)
{
    QList<QJsonObject> events;
    while (events.size() < count) {
        const auto event = client.waitFor(
            [&](const QJsonObject& m) {
                const QString cmd = m.value("cmd").toString();
                // Scan errors come to a page too; only the print results count here.
                return cmds.contains(cmd)
                    && (cmd != QLatin1String("error") || dataOf(m).value("errorType") == QLatin1String("print-error"));
            },
            timeoutMs);
        if (!event)
            break;
        events.append(*event);
    }
    return events;
}

} // namespace pflow
