// A whole "printBatch" through the real agent: 25 students of 4 pages each, 300 dpi A4 RGB JPEGs
// at quality 75 from a local image server, to a private CUPS whose IPP printer completes every
// job at once. Prints the agent's CPU time per page (user + system from /proc/<pid>/stat over the
// batch) and the wall time per page, next to a baseline measured in this run: decoding, scaling
// and drawing the same JPEGs into an A4 PDF at 300 dpi in this process.
// Goal: agent work under 100 ms per page (a 60 ppm printer takes 1000 ms per page). Wall time is
// not the goal's figure: through cupsd each job takes about a second even with an instant printer.
//
//   print_batch_bench [students] [pages per student]
#include "../support/agentcpu.h"
#include "agentsandbox.h"
#include "benchpages.h"
#include "cupsharness.h"
#include "httptestserver.h"
#include "isolation.h"
#include "wsclient.h"

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonArray>
#include <QPainter>
#include <QPdfWriter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>

namespace {

QByteArray sheetJpeg(int seed)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    benchpages::sheet(seed).save(&buffer, "JPG", 75);
    return bytes;
}

} // namespace

int main(int argc, char** argv)
{
    vtest::isolateUserFolders();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int studentCount = argc > 1 ? std::max(1, atoi(argv[1])) : 25;
    const int pagesPerStudent = argc > 2 ? std::max(1, atoi(argv[2])) : 4;
    const int pages = studentCount * pagesPerStudent;

    // The default fate prints at once.
    vtest::CupsHarness cups({vtest::CupsHarness::Model(QStringLiteral("bench"), QStringLiteral("Vellox Bench Printer"))});
    if (!cups.isRunning()) {
        std::fprintf(stderr, "CUPS harness: %s\n", qPrintable(cups.errorText()));
        return 1;
    }

    // Distinct sheets, a few reused so that building them does not dominate the run.
    QList<QByteArray> sheets;
    for (int i = 0; i < 8; ++i)
        sheets.append(sheetJpeg(i));
    vtest::HttpTestServer server;
    QJsonArray students;
    for (int s = 0; s < studentCount; ++s) {
        QJsonArray urls;
        for (int p = 0; p < pagesPerStudent; ++p) {
            const QString path = QStringLiteral("/sheets/s%1/p%2.jpg").arg(s).arg(p);
            server.serveFile(path, sheets.at((s * pagesPerStudent + p) % sheets.size()));
            urls.append(server.url(path));
        }
        students.append(QJsonObject {{"studentName", QStringLiteral("student%1").arg(s)},
                                     {"studentId", QStringLiteral("S%1").arg(s)},
                                     {"imgList", urls},
                                     {"config", QJsonObject {{"size", "A4"}, {"type", "whole"}}}});
    }

    // Baseline: the same pages decoded, scaled and drawn into an A4 PDF at 300 dpi here.
    QTemporaryDir dir;
    double start = benchpages::threadCpuMs();
    {
        QPdfWriter pdf(dir.path() + "/baseline.pdf");
        pdf.setResolution(300);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        QPainter painter(&pdf);
        for (int i = 0; i < pages; ++i) {
            if (i > 0)
                pdf.newPage();
            const QImage image = QImage::fromData(sheets.at(i % sheets.size()), "JPG");
            const QRect area = painter.viewport();
            painter.drawImage(area, image.scaled(area.size(), Qt::KeepAspectRatio, Qt::SmoothTransformation));
        }
    }
    const double baselineMs = (benchpages::threadCpuMs() - start) / pages;

    vtest::AgentSandbox sandbox;
    const quint16 port = sandbox.startListening({QStringLiteral("--hidden")});
    vtest::WsClient page;
    if (port == 0 || !page.open(port)) {
        std::fprintf(stderr, "the agent did not start\n");
        return 1;
    }
    const qint64 pid = sandbox.agent()->processId();
    const double cpuBefore = bench::processCpuMs(pid);
    QElapsedTimer wall;
    wall.start();
    const auto reply = page.request(QStringLiteral("printBatch"), students);
    if (!reply || reply->value("ret").toInt() != 200) {
        std::fprintf(stderr, "the batch was refused\n");
        return 1;
    }
    int printed = 0;
    while (printed < studentCount) {
        const auto event = page.waitFor(
            [](const QJsonObject& m) {
                return m.value("cmd") == "print-end"
                    || m.value("data").toObject().value("errorType") == QLatin1String("print-error");
            },
            600000);
        if (!event || event->value("cmd") != "print-end") {
            std::fprintf(stderr, "student %d did not print: %s\n", printed,
                         event ? qPrintable(event->value("msg").toString()) : "no event");
            return 1;
        }
        ++printed;
    }
    const double wallMs = double(wall.elapsed()) / pages;
    const double agentMs = (bench::processCpuMs(pid) - cpuBefore) / pages;

    std::printf("batch: %d students x %d pages (300 dpi A4 RGB JPEG, quality 75)\n", studentCount, pagesPerStudent);
    std::printf("baseline (decode, scale, draw into a 300 dpi PDF here): %8.1f ms CPU per page\n", baselineMs);
    std::printf("agent work over the batch:                              %8.1f ms CPU per page  (%.2f x baseline)\n",
                agentMs, agentMs / baselineMs);
    std::printf("wall time over the batch:                               %8.1f ms per page\n", wallMs);
    std::printf("goal: agent work under 100 ms per page (a 60 ppm printer: 1000 ms per page): %s\n",
                agentMs < 100 ? "met" : "NOT met");
    return 0;
}
