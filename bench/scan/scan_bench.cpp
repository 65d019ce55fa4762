// A 100-page batch of 300 dpi A4 colour pages from the virtual scanner at full speed, through the
// real agent into an upload server running as a process of its own, against JPEG encoding
// (TurboJPEG, quality 75) of the same pages in this process, measured in the same run: wall
// pages per second on both cores, and the agent's CPU milliseconds per page (from /proc) against
// one encoding of a page as the scanner delivers it, with and without the virtual scanner's own
// transfer of the page (a library in the agent's process). With --probe, the page that started the
// batch and receives its events also sends a command every 10 ms, in turn one the GUI thread
// answers ("printBatch" with data that is no array) and one the server thread answers ("login"),
// and the reply times of each are reported.
//
//   scan_bench [pages] [--probe]
#include "../support/agentcpu.h"
#include "../support/benchagent.h"
#include "../support/scannertransfers.h"
#include "../support/uploadserver.h"

#include "agentsandbox.h"
#include "isolation.h"
#include "wait.h"
#include "wsclient.h"

#include "foundation/backgroundwork.h"
#include "foundation/memorytrim.h"
#include "scanning/pagejpegencoder.h"
#include "scanning/rawpage.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kWaitMs = 600000;
constexpr int kDistinctPages = 6;  // decoded once, encoded in turn by the baseline
constexpr int kProbeIntervalMs = 10;
// Goals, each a ratio or a latency measured in this run.
constexpr double kThroughputGoal = 0.5;  // agent pages/s against encoding alone
constexpr double kCpuGoal = 1.3;         // agent CPU per page in encodings
constexpr double kReplyP99GoalMs = 10;

int jpegCount(const QString& folder)
{
    return QDir(folder).entryList({ "*.jpg" }, QDir::Files).size();
}

KELJpegEncoder::Rows rowsOf(const QImage& rgb)
{
    KELJpegEncoder::Rows rows;
    rows.data = rgb.constBits();
    rows.width = rgb.width();
    rows.height = rgb.height();
    rows.pitch = rgb.bytesPerLine();
    rows.pixels = KELJpegEncoder::Pixels::Rgb;
    return rows;
}

// Seconds to encode `count` pages on two threads.
double encodeSeconds(const std::vector<QImage>& pages, int count, bool withQt)
{
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    std::atomic<qint64> bytes{ 0 };
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        const QImage& page = pages[size_t(i) % pages.size()];
        pool.start([&page, &bytes, withQt] {
            if (withQt) {
                QByteArray jpeg;
                QBuffer buffer(&jpeg);
                buffer.open(QIODevice::WriteOnly);
                page.save(&buffer, "JPG", KELJpegEncoder::kQuality);
                bytes += jpeg.size();
            } else {
                bytes += KELJpegEncoder::encode(rowsOf(page)).size();
            }
        });
    }
    pool.waitForDone();
    return timer.elapsed() / 1000.0;
}

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

// CPU milliseconds of one TurboJPEG encoding of a decoded page, on this thread.
double oneEncodeCpuMs(const std::vector<QImage>& pages)
{
    constexpr int kRounds = 12;
    KELJpegEncoder::encode(rowsOf(pages.front()));  // warm up
    const double start = threadCpuMs();
    for (int i = 0; i < kRounds; ++i)
        KELJpegEncoder::encode(rowsOf(pages[size_t(i) % pages.size()]));
    return (threadCpuMs() - start) / kRounds;
}

// What a page costs in the agent's process besides the agent's own work, on this thread: one
// encoding of a page as the virtual scanner delivers it, exactly as the agent encodes it, and
// the scanner's transfer of a page (a TWAIN call on the agent's GUI thread) while two such
// encodings run beside it, as they do in the agent (as background work): a copy of tens of
// megabytes costs about twice as much when the encoders share the memory bus. Its wall time is
// how long a GUI-thread reply that arrives during the call waits at most.
struct PageCosts {
    bool ok = false;
    double encodeMs = 0;
    double transferMs = 0;
    double transferWallMs = 0;
};

PageCosts deliveredPageCosts(int transfers)
{
    constexpr int kRounds = 12;
    KELMemory::reusePageBuffers();  // the agent's allocator settings
    const std::string library = VELLOX_PROGRAM_DIR "/libtwaindsm.so";
    const std::string folder = QDir::tempPath().toStdString();
    const bench::ScannerTransfers first = bench::measureScannerTransfers(library, folder, 2, true);
    if (!first.ok || !first.firstPage)
        return {};
    const KELRawPage page = KELRawPage::fromNativeHandle(first.firstPage);
    PageCosts costs;
    page.encodeJpeg();  // warm up
    const double start = threadCpuMs();
    for (int i = 0; i < kRounds; ++i)
        page.encodeJpeg();
    costs.encodeMs = (threadCpuMs() - start) / kRounds;

    std::atomic<bool> encoding{ true };
    std::vector<std::thread> beside;
    for (int i = 0; i < 2; ++i)
        beside.emplace_back([&] {
            KELBackgroundWork::markThisThread();
            while (encoding)
                page.encodeJpeg();
        });
    const bench::ScannerTransfers contended = bench::measureScannerTransfers(library, folder, transfers);
    encoding = false;
    for (std::thread& thread : beside)
        thread.join();
    costs.transferMs = contended.cpuMsPerPage;
    costs.transferWallMs = contended.pages > 0 ? contended.wallSeconds * 1000 / contended.pages : 0;
    costs.ok = contended.ok;
    return costs;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

const char* verdict(bool met)
{
    return met ? "met" : "NOT met";
}

// The page's commands during the batch, sent in turn every kProbeIntervalMs on the page's own
// connection, where the batch's events arrive too; each reply is timed from its sending to its
// arrival, in this process's event loop.
class ReplyProbe : public QObject {
public:
    explicit ReplyProbe(vtest::WsClient& page)
        : page(page)
    {
        connect(&page, &vtest::WsClient::textReceived, this, &ReplyProbe::received);
        connect(&ticker, &QTimer::timeout, this, &ReplyProbe::send);
        ticker.setTimerType(Qt::PreciseTimer);
        clock.start();
    }
    void start() { ticker.start(kProbeIntervalMs); }
    void stop() { ticker.stop(); }

    std::vector<double> guiMs;
    std::vector<double> serverMs;

private:
    void send()
    {
        const bool gui = ++count % 2 == 0;
        const QString reqId = QStringLiteral("%1-%2").arg(gui ? "gui" : "server").arg(count);
        sent[reqId] = clock.nsecsElapsed();
        if (gui)
            page.sendRequest(QStringLiteral("printBatch"), reqId, QStringLiteral("not an array"));
        else
            page.sendRequest(QStringLiteral("login"), reqId, QJsonObject{ { "uploadCredentials", QJsonObject{} } });
    }
    void received(const QByteArray& text)
    {
        const qint64 now = clock.nsecsElapsed();
        if (!text.contains("\"reqId\": \"gui-") && !text.contains("\"reqId\": \"server-"))
            return;  // an event of the batch
        const QString reqId = QJsonDocument::fromJson(text).object().value("reqId").toString();
        const auto it = sent.find(reqId);
        if (it == sent.end())
            return;
        (reqId.startsWith("gui") ? guiMs : serverMs).push_back(double(now - it->second) / 1e6);
        sent.erase(it);
    }

    vtest::WsClient& page;
    QTimer ticker;
    QElapsedTimer clock;
    std::map<QString, qint64> sent;
    int count = 0;
};

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], bench::kUploadServerFlag) == 0)
            return bench::runUploadServer();
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    int pages = 100;
    bool probe = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--probe") == 0)
            probe = true;
        else
            pages = std::max(1, std::atoi(argv[i]));
    }

    bench::UploadServerProcess server;
    if (server.port() == 0) {
        std::fprintf(stderr, "the upload server did not start\n");
        return 1;
    }

    vtest::AgentSandbox sandbox;
    const QString batchFolder = bench::prepareScanAgent(sandbox, server, pages);

    const quint16 port = sandbox.startListening({ "--hidden" });
    vtest::WsClient page;
    if (port == 0 || !page.open(port) || !page.waitForCmd("can-use", kWaitMs)) {
        std::fprintf(stderr, "the agent did not come up with its scanner\n");
        return 1;
    }
    const qint64 agentPid = sandbox.agent()->processId();

    const double cpuBefore = bench::processCpuMs(agentPid);
    const double guiCpuBefore = bench::mainThreadCpuMs(agentPid);
    QElapsedTimer timer;
    timer.start();
    page.request("start-scan", QJsonObject{ { "batchno", "bench" }, { "uploadUrl", server.url("/upload") },
                                            { "unionKey", "bench" }, { "paperVersion", 2 } });
    ReplyProbe replies(page);
    if (probe)
        replies.start();
    // An event loop that sleeps until something happens, so replies are taken as they arrive.
    QEventLoop batch;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (jpegCount(batchFolder) >= pages || timer.elapsed() > kWaitMs)
            batch.quit();
    });
    watch.start(20);
    batch.exec();
    replies.stop();
    if (jpegCount(batchFolder) < pages) {
        std::fprintf(stderr, "only %d of %d pages were saved\n", jpegCount(batchFolder), pages);
        return 1;
    }
    const double savedSeconds = timer.elapsed() / 1000.0;
    const bool uploaded = vtest::waitUntil([&] { return server.stats().second >= pages; }, 120000);
    const double uploadedSeconds = timer.elapsed() / 1000.0;
    const double cpuAfter = bench::processCpuMs(agentPid);
    const double guiCpuAfter = bench::mainThreadCpuMs(agentPid);

    std::vector<QImage> decoded;
    for (int n = 1; n <= std::min(pages, kDistinctPages); ++n)
        decoded.push_back(QImage(batchFolder + QString("Image%1.jpg").arg(n)).convertToFormat(QImage::Format_RGB888));
    const double turboSeconds = encodeSeconds(decoded, pages, false);
    const double qtSeconds = encodeSeconds(decoded, pages, true);
    const double decodedEncodeCpuMs = oneEncodeCpuMs(decoded);
    const PageCosts delivered = deliveredPageCosts(std::min(pages, 30));
    if (!delivered.ok) {
        std::fprintf(stderr, "the virtual scanner could not be measured in this process\n");
        return 1;
    }

    const double agentSeconds = uploaded ? uploadedSeconds : savedSeconds;
    const double agentCpuPerPage = (cpuAfter - cpuBefore) / pages;
    std::printf("pages: %d of %dx%d (300 dpi A4 RGB), %d cores\n", pages, decoded.front().width(),
                decoded.front().height(), QThread::idealThreadCount());
    std::printf("agent, start-scan to %s: %.2f s, %.2f pages/s\n",
                uploaded ? "every page uploaded" : "every page saved (uploads not all received)", agentSeconds,
                pages / agentSeconds);
    std::printf("agent, start-scan to every JPEG file: %.2f s, %.2f pages/s\n", savedSeconds, pages / savedSeconds);
    std::printf("JPEG encoding alone (TurboJPEG), quality 75, 2 threads: %.2f s, %.2f pages/s\n", turboSeconds,
                pages / turboSeconds);
    std::printf("JPEG encoding alone (Qt's writer), quality 75, 2 threads: %.2f s, %.2f pages/s\n", qtSeconds,
                pages / qtSeconds);
    const double throughput = (pages / agentSeconds) / (pages / turboSeconds);
    const double ownCpuPerPage = agentCpuPerPage - delivered.transferMs;
    const double ownRatio = ownCpuPerPage / delivered.encodeMs;
    std::printf("agent / encoding (TurboJPEG): %.2f\n", throughput);
    std::printf("one encoding of a delivered page as the agent encodes it (from the bitmap's rows): %.1f ms CPU "
                "(of a decoded JPEG of the page: %.1f ms)\n", delivered.encodeMs, decodedEncodeCpuMs);
    std::printf("the virtual scanner's transfer of a page, a TWAIN call on the agent's GUI thread, with two encodings "
                "beside it: %.1f ms CPU, %.1f ms wall\n", delivered.transferMs, delivered.transferWallMs);
    std::printf("agent CPU per page: %.1f ms (GUI thread %.1f ms), %.2f encodings; without the scanner's transfer "
                "%.1f ms, %.2f encodings\n", agentCpuPerPage, (guiCpuAfter - guiCpuBefore) / pages,
                agentCpuPerPage / delivered.encodeMs, ownCpuPerPage, ownRatio);
    std::printf("goal: agent >= %.1f x encoding: %s; agent's own CPU per page <= %.1f encodings: %s\n", kThroughputGoal,
                verdict(throughput >= kThroughputGoal), kCpuGoal, verdict(ownRatio <= kCpuGoal));
    if (probe) {
        const auto line = [](const char* thread, const std::vector<double>& ms) {
            std::printf("%s-thread replies to the page during the batch: %zu, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
                        thread, ms.size(), percentile(ms, 0.5), percentile(ms, 0.99), percentile(ms, 1.0));
        };
        line("GUI", replies.guiMs);
        line("server", replies.serverMs);
        const bool met = !replies.guiMs.empty() && !replies.serverMs.empty()
            && percentile(replies.guiMs, 0.99) < kReplyP99GoalMs && percentile(replies.serverMs, 0.99) < kReplyP99GoalMs;
        std::printf("goal: replies p99 < %.0f ms on both threads: %s\n", kReplyP99GoalMs, verdict(met));
    }
    return 0;
}
