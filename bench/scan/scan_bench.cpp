// A 100-page batch of 300 dpi A4 colour pages from the virtual scanner at full speed, through the
// real agent into an upload server running as a process of its own, against JPEG encoding
// (TurboJPEG, quality 75) of the same pages in this process, measured in the same run: wall
// pages per second on both cores, and the agent's CPU milliseconds per page (from /proc) against
// one encoding of a page. With --probe, a command answered by the agent's GUI thread ("printBatch"
// with data that is no array) is sent every 20 ms during the batch and its reply times reported.
//
//   scan_bench [pages] [--probe]
#include "../support/agentcpu.h"
#include "../support/benchagent.h"
#include "../support/uploadserver.h"

#include "agentsandbox.h"
#include "isolation.h"
#include "wait.h"
#include "wsclient.h"

#include "scanning/pagejpegencoder.h"

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

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

namespace {

constexpr int kWaitMs = 600000;
constexpr int kDistinctPages = 6;  // decoded once, encoded in turn by the baseline
constexpr int kProbeIntervalMs = 20;

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

// CPU milliseconds of one TurboJPEG encoding of a page, on this thread.
double oneEncodeCpuMs(const std::vector<QImage>& pages)
{
    constexpr int kRounds = 12;
    KELJpegEncoder::encode(rowsOf(pages.front()));  // warm up
    const double start = threadCpuMs();
    for (int i = 0; i < kRounds; ++i)
        KELJpegEncoder::encode(rowsOf(pages[size_t(i) % pages.size()]));
    return (threadCpuMs() - start) / kRounds;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size() - 1) + 0.5))];
}

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
    vtest::WsClient prober;
    if (port == 0 || !page.open(port) || !page.waitForCmd("can-use", kWaitMs) || (probe && !prober.open(port))) {
        std::fprintf(stderr, "the agent did not come up with its scanner\n");
        return 1;
    }
    const qint64 agentPid = sandbox.agent()->processId();

    const double cpuBefore = bench::processCpuMs(agentPid);
    QElapsedTimer timer;
    timer.start();
    page.request("start-scan", QJsonObject{ { "batchno", "bench" }, { "uploadUrl", server.url("/upload") },
                                            { "unionKey", "bench" }, { "paperVersion", 2 } });
    std::vector<double> replyMs;
    if (probe) {
        QElapsedTimer tick;
        tick.start();
        for (int n = 0; jpegCount(batchFolder) < pages && timer.elapsed() < kWaitMs; ++n) {
            QElapsedTimer sent;
            sent.start();
            if (prober.request("printBatch", QStringLiteral("not an array"), 10000))
                replyMs.push_back(sent.nsecsElapsed() / 1e6);
            const qint64 next = qint64(n + 1) * kProbeIntervalMs;
            if (tick.elapsed() < next)
                QThread::msleep(quint64(next - tick.elapsed()));
        }
    }
    if (!vtest::waitUntil([&] { return jpegCount(batchFolder) == pages; }, kWaitMs)) {
        std::fprintf(stderr, "only %d of %d pages were saved\n", jpegCount(batchFolder), pages);
        return 1;
    }
    const double savedSeconds = timer.elapsed() / 1000.0;
    const bool uploaded = vtest::waitUntil([&] { return server.stats().second >= pages; }, 120000);
    const double uploadedSeconds = timer.elapsed() / 1000.0;
    const double cpuAfter = bench::processCpuMs(agentPid);

    std::vector<QImage> decoded;
    for (int n = 1; n <= std::min(pages, kDistinctPages); ++n)
        decoded.push_back(QImage(batchFolder + QString("Image%1.jpg").arg(n)).convertToFormat(QImage::Format_RGB888));
    const double turboSeconds = encodeSeconds(decoded, pages, false);
    const double qtSeconds = encodeSeconds(decoded, pages, true);
    const double encodeCpuMs = oneEncodeCpuMs(decoded);

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
    std::printf("agent / encoding (TurboJPEG): %.2f\n", (pages / agentSeconds) / (pages / turboSeconds));
    std::printf("agent CPU per page: %.1f ms; one TurboJPEG encoding: %.1f ms; ratio %.2f\n", agentCpuPerPage,
                encodeCpuMs, agentCpuPerPage / encodeCpuMs);
    if (probe) {
        std::printf("GUI-thread command every %d ms during the batch: %zu replies, p50 %.1f ms, p99 %.1f ms, max %.1f ms\n",
                    kProbeIntervalMs, replyMs.size(), percentile(replyMs, 0.5), percentile(replyMs, 0.99),
                    percentile(replyMs, 1.0));
    }
    return 0;
}
