// Twenty distinct 300 dpi A4 JPEG pages printed as one document on a private CUPS with a real
// IPP printer, against decoding each JPEG once in the same run:
//   - CPU milliseconds per page of CPrinter::print (precheck, drawing, PDF, submission) next to
//     one decode of the same page;
//   - the PDF's bytes per page next to the JPEG's.
//
//   print_bench [pages]
#include "benchpages.h"
#include "cupsharness.h"
#include "isolation.h"
#include "wait.h"

#include "foundation/globalconfig.h"
#include "printing/printer.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <ctime>

using benchpages::sheet;
using benchpages::threadCpuMs;

int main(int argc, char** argv)
{
    vtest::isolateUserFolders();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int pages = argc > 1 ? std::max(1, atoi(argv[1])) : 20;

    vtest::CupsHarness::Model model;
    model.queue = QStringLiteral("bench");
    model.nickName = QStringLiteral("Vellox Bench Printer");
    vtest::CupsHarness cups({model});
    if (!cups.isRunning()) {
        std::fprintf(stderr, "CUPS harness: %s\n", qPrintable(cups.errorText()));
        return 1;
    }

    QTemporaryDir dir;
    QDir().mkpath(dir.path() + "/install");
    KELGlobalConfig config(dir.path() + "/data", dir.path() + "/install");
    QStringList files;
    qint64 jpegBytes = 0;
    for (int i = 0; i < pages; ++i) {
        const QString path = dir.path() + QStringLiteral("/page%1.jpg").arg(i);
        sheet(i).save(path, "JPG", 75);
        jpegBytes += QFileInfo(path).size();
        files << path;
    }

    // Baseline: one decode of every page, on this thread.
    double start = threadCpuMs();
    for (const QString& file : files) {
        if (QImage(file).isNull())
            return 1;
    }
    const double decodeMs = (threadCpuMs() - start) / pages;

    CPrinter printer(createPlatformPrintSpooler(), &config);
    if (!printer.selectPrinter(QString()) || !printer.configPrinter({{"size", "A4"}, {"type", "whole"}}))
        return 1;
    start = threadCpuMs();
    const bool printed = printer.print(QStringLiteral("bench"), files, false, QStringLiteral("bench"), QString());
    const double printMs = (threadCpuMs() - start) / pages;
    if (!printed || !cups.waitForDocument(QStringLiteral("bench"), QStringLiteral("bench"), 600000)) {
        std::fprintf(stderr, "the document did not arrive\n");
        return 1;
    }
    const qint64 pdfBytes = QFileInfo(cups.keptDocument(QStringLiteral("bench"), QStringLiteral("bench"))).size();

    std::printf("pages: %d (300 dpi A4 JPEG, %.0f KiB each on average)\n", pages, jpegBytes / 1024.0 / pages);
    std::printf("decode once:   %8.1f ms CPU per page\n", decodeMs);
    std::printf("print:         %8.1f ms CPU per page  (%.2f decodes)\n", printMs, printMs / decodeMs);
    std::printf("JPEG:          %8.0f bytes per page\n", double(jpegBytes) / pages);
    std::printf("PDF:           %8.0f bytes per page  (%.3f x the JPEG)\n", double(pdfBytes) / pages,
                double(pdfBytes) / jpegBytes);
    const bool met = printMs <= 2 * decodeMs && pdfBytes <= 1.1 * double(jpegBytes);
    std::printf("goal: print at most 2 decodes per page, PDF at most 1.1 x the JPEGs: %s\n", met ? "met" : "NOT met");
    return 0;
}
