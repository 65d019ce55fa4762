// 1000 pages at 300 dpi A4 colour through the real agent while the upload server (a process of
// its own) accepts the uploads and never answers: the agent's resident memory, its peak and how
// it grows per page after the first ones. Then the server answers: every page must be uploaded
// once, and the memory must fall back.
//
//   memory_bench [pages]
#include "../support/agentcpu.h"
#include "../support/benchagent.h"
#include "../support/uploadserver.h"

#include "agentsandbox.h"
#include "isolation.h"
#include "wait.h"
#include "wsclient.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kWaitMs = 1800000;
constexpr int kSampleMs = 200;
// Goals: bounded while the server stalls, flat after the first pages, given back afterwards.
constexpr double kPeakGoalMb = 250;
constexpr double kGrowthGoalMbPerPage = 0.05;
constexpr double kAfterGoalMb = 150;

int jpegCount(const QString& folder)
{
    return QDir(folder).entryList({ "*.jpg" }, QDir::Files).size();
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
    const int pages = argc > 1 ? std::max(10, std::atoi(argv[1])) : 1000;

    bench::UploadServerProcess server;
    if (server.port() == 0) {
        std::fprintf(stderr, "the upload server did not start\n");
        return 1;
    }
    vtest::AgentSandbox sandbox;
    const QString batchFolder = bench::prepareScanAgent(sandbox, server, pages);

    const quint16 port = sandbox.startListening({ "--hidden" });
    vtest::WsClient page;
    if (port == 0 || !page.open(port) || !page.waitForCmd("can-use", 60000)) {
        std::fprintf(stderr, "the agent did not come up with its scanner\n");
        return 1;
    }
    const qint64 agentPid = sandbox.agent()->processId();
    const double idleMb = bench::residentMb(agentPid);

    server.hold();
    QElapsedTimer timer;
    timer.start();
    page.request("start-scan", QJsonObject{ { "batchno", "bench" }, { "uploadUrl", server.url("/upload") },
                                            { "unionKey", "bench" }, { "paperVersion", 2 } });
    double peakMb = 0;
    double mbAtTenth = -1;
    int pagesAtTenth = 0;
    for (int saved = 0; saved < pages && timer.elapsed() < kWaitMs; saved = jpegCount(batchFolder)) {
        const double rss = bench::residentMb(agentPid);
        peakMb = std::max(peakMb, rss);
        if (mbAtTenth < 0 && saved >= pages / 10) {
            mbAtTenth = rss;
            pagesAtTenth = saved;
        }
        QThread::msleep(kSampleMs);
    }
    const double seconds = timer.elapsed() / 1000.0;
    const double endMb = bench::residentMb(agentPid);
    peakMb = std::max(peakMb, endMb);
    const int saved = jpegCount(batchFolder);
    const double growthPerPage = saved > pagesAtTenth ? (endMb - mbAtTenth) / (saved - pagesAtTenth) : 0;

    server.answer();
    const bool ended = page.waitForCmd("uploaded-end", kWaitMs).has_value();
    // The batch's end returns freed memory on the pool; give it a moment to show.
    vtest::waitUntil([&] { return bench::residentMb(agentPid) < 150; }, 10000);
    const double afterMb = bench::residentMb(agentPid);
    const auto [requests, distinct] = server.stats();

    std::printf("pages: %d (300 dpi A4 RGB) saved in %.1f s with the server not answering\n", saved, seconds);
    std::printf("resident memory: idle %.0f MB, peak %.0f MB, at page %d %.0f MB, at the end %.0f MB\n", idleMb,
                peakMb, pagesAtTenth, mbAtTenth, endMb);
    std::printf("growth after the first tenth: %.3f MB per page\n", growthPerPage);
    std::printf("after the server answered: %s, %d requests for %d distinct pages, resident %.0f MB\n",
                ended ? "uploaded-end received" : "no uploaded-end", requests, distinct, afterMb);
    const bool met = peakMb < kPeakGoalMb && growthPerPage < kGrowthGoalMbPerPage && ended && requests == pages
        && distinct == pages && afterMb < kAfterGoalMb;
    std::printf("goal: peak < %.0f MB, growth < %.2f MB per page, every page uploaded once, then < %.0f MB: %s\n",
                kPeakGoalMb, kGrowthGoalMbPerPage, kAfterGoalMb, met ? "met" : "NOT met");
    return 0;
}
