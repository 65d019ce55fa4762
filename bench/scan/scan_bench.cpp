// A 100-page batch of 300 dpi A4 colour pages from the virtual scanner at full speed, through the
// real agent into a local upload server, against JPEG encoding (quality 75, both cores) of the
// same pages in this process, measured in the same run.
//
//   scan_bench [pages]
#include "agentsandbox.h"
#include "httptestserver.h"
#include "isolation.h"
#include "wait.h"
#include "wsclient.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThreadPool>

#include <atomic>
#include <cstdio>
#include <vector>

namespace {

constexpr int kWaitMs = 600000;
constexpr int kDistinctPages = 6;  // decoded once, encoded in turn by the baseline
const char* const kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";

int jpegCount(const QString& folder)
{
    return QDir(folder).entryList({ "*.jpg" }, QDir::Files).size();
}

// Seconds to encode `count` pages as JPEG at quality 75 on two threads.
double encodeSeconds(const std::vector<QImage>& pages, int count)
{
    QThreadPool pool;
    pool.setMaxThreadCount(2);
    std::atomic<qint64> bytes{ 0 };
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < count; ++i) {
        const QImage& page = pages[size_t(i) % pages.size()];
        pool.start([&page, &bytes] {
            QByteArray jpeg;
            QBuffer buffer(&jpeg);
            buffer.open(QIODevice::WriteOnly);
            page.save(&buffer, "JPG", 75);
            bytes += jpeg.size();
        });
    }
    pool.waitForDone();
    return timer.elapsed() / 1000.0;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    vtest::isolateUserFolders();
    QApplication app(argc, argv);
    const int pages = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

    vtest::HttpTestServer http;
    http.answer(kCheckPath, vtest::HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})"));
    http.answer("/upload", vtest::HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})"));

    vtest::AgentSandbox sandbox;
    sandbox.usePrivateProgramFolder(QJsonObject{
        { "appname", "vellox" }, { "appversion", "1.0.0" }, { "current", "local" },
        { "domains", QJsonArray{ QJsonObject{ { "key", "local" }, { "name", "local" }, { "url", http.url("/") } } } } });
    const QString profile = sandbox.root() + "/sources.json";
    QFile file(profile);
    file.open(QIODevice::WriteOnly);
    file.write(QJsonDocument(QJsonObject{ { "sources", QJsonArray{ QJsonObject{
        { "productName", "Bench Scanner" }, { "pages", pages }, { "resolution", 300 },
        { "paperSize", "A4" }, { "pixelType", "rgb" } } } } }).toJson());
    file.close();
    sandbox.setEnv("TWAINDSM_SOURCES", profile);
    const QString output = sandbox.root() + "/out";
    sandbox.setConfig("outputpath", output);
    const QString batchFolder = output + "/bench/";

    const quint16 port = sandbox.startListening({ "--hidden" });
    vtest::WsClient page;
    if (port == 0 || !page.open(port) || !page.waitForCmd("can-use", kWaitMs)) {
        std::fprintf(stderr, "the agent did not come up with its scanner\n");
        return 1;
    }

    QElapsedTimer timer;
    timer.start();
    page.request("start-scan", QJsonObject{ { "batchno", "bench" }, { "uploadUrl", http.url("/upload") },
                                            { "unionKey", "bench" }, { "paperVersion", 2 } });
    if (!vtest::waitUntil([&] { return jpegCount(batchFolder) == pages; }, kWaitMs)) {
        std::fprintf(stderr, "only %d of %d pages were saved\n", jpegCount(batchFolder), pages);
        return 1;
    }
    const double savedSeconds = timer.elapsed() / 1000.0;
    // Uploading may still be under way; count it in when the server receives every page, as long
    // as pages keep arriving.
    bool uploaded = false;
    for (int received = -1; !uploaded && http.requestCount("/upload") > received;) {
        received = http.requestCount("/upload");
        uploaded = vtest::waitUntil([&] { return http.requestCount("/upload") >= pages; }, 10000);
    }
    const double uploadedSeconds = timer.elapsed() / 1000.0;

    std::vector<QImage> decoded;
    for (int n = 1; n <= std::min(pages, kDistinctPages); ++n)
        decoded.push_back(QImage(batchFolder + QString("Image%1.jpg").arg(n)).convertToFormat(QImage::Format_RGB888));
    const double encodeOnly = encodeSeconds(decoded, pages);

    const double agentSeconds = uploaded ? uploadedSeconds : savedSeconds;
    std::printf("pages: %d of %dx%d (300 dpi A4 RGB)\n", pages, decoded.front().width(), decoded.front().height());
    std::printf("agent, start-scan to %s: %.2f s, %.2f pages/s\n",
                uploaded ? "every page uploaded" : "every page saved (uploads not received)", agentSeconds,
                pages / agentSeconds);
    std::printf("agent, start-scan to every JPEG file: %.2f s, %.2f pages/s\n", savedSeconds, pages / savedSeconds);
    std::printf("JPEG encoding alone, quality 75, 2 threads: %.2f s, %.2f pages/s\n", encodeOnly, pages / encodeOnly);
    std::printf("agent / encoding: %.2f\n", (pages / agentSeconds) / (pages / encodeOnly));
    return 0;
}
