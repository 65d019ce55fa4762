// The pure rules of printing: page placement and page list, preset choice, the device-mode
// layout and its IPP mapping, and the job tracker's decisions on recorded queue readings.

#include "printing/devmode.h"
#include "printing/ippdevmode.h"
#include "printing/presetrules.h"
#include "printing/printjobtracking.h"
#include "printing/printlayout.h"

#include <QByteArray>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using Config = QMap<QString, QString>;

PrinterModel modelOf(const char* driver)
{
    return PrinterModel::of(QString::fromLatin1(driver), QStringLiteral("Printer"));
}

TEST(PrintLayout, PlacementFillsOneDimensionKeepsAspectAndCentres)
{
    // Enlarged: a small portrait page on a portrait area is limited by the width.
    PagePlacement p = placePage(2400, 3400, 600, 800);
    EXPECT_EQ(p.width, 2400);
    EXPECT_EQ(p.height, 3200);
    EXPECT_EQ(p.x, 0);
    EXPECT_EQ(p.y, 100);
    // A portrait page on a landscape area: scaled by the height, centred across.
    p = placePage(3400, 2400, 2480, 3508);
    EXPECT_EQ(p.height, 2400);
    EXPECT_EQ(p.width, int(2480 * (2400.0 / 3508)));
    EXPECT_EQ(p.x, (3400 - p.width) / 2);
    EXPECT_EQ(p.y, 0);
    // Sizes and offsets are truncated, not rounded.
    p = placePage(2479, 3507, 1000, 1414);
    EXPECT_EQ(p.width, 2479);
    EXPECT_EQ(p.height, 3505); // 1414 × 2.479 = 3505.3
    EXPECT_EQ(p.y, 1);         // (3507 − 3505) / 2
    p = placePage(1001, 100, 100, 100);
    EXPECT_EQ(p.x, 450); // (1001 − 100) / 2 = 450.5
    // Nothing to place.
    p = placePage(0, 3400, 600, 800);
    EXPECT_EQ(p.width, 0);
}

TEST(PrintLayout, BlankPageFollowsOnlyASinglePartPageOnCanonModels)
{
    const QString blank = QStringLiteral("/install/white-page.png");
    const QStringList one = {QStringLiteral("a.jpg")};
    const QStringList two = {QStringLiteral("a.jpg"), QStringLiteral("b.jpg")};
    const PrinterModel irAdv = modelOf("Canon Office XPS Class Driver");
    const PrinterModel ufr = modelOf("Canon Generic Plus UFR II");
    EXPECT_EQ(documentPages(one, irAdv, true, blank), (QStringList {"a.jpg", blank}));
    EXPECT_EQ(documentPages(one, ufr, true, blank), (QStringList {"a.jpg", blank}));
    EXPECT_EQ(documentPages(one, ufr, false, blank), one);
    EXPECT_EQ(documentPages(two, irAdv, true, blank), two);
    EXPECT_EQ(documentPages(one, irAdv, true, QString()), one) << "no blank page installed";
    EXPECT_EQ(documentPages(one, modelOf("EPSON EM-C8100 Series"), true, blank), one);
    EXPECT_TRUE(documentPages({}, irAdv, true, blank).isEmpty());
}

TEST(PrintLayout, ModelMarkers)
{
    // iR-ADV is recognised by its driver, or by the printer's name when no driver is known.
    EXPECT_TRUE(modelOf("Canon Office XPS Class Driver").canonIrAdv);
    EXPECT_FALSE(PrinterModel::of(QStringLiteral("Some Driver"), QStringLiteral("iR-ADV C3835")).canonIrAdv);
    EXPECT_TRUE(PrinterModel::of(QString(), QStringLiteral("Office iR-ADV C3835 PCL")).canonIrAdv);
    EXPECT_FALSE(modelOf("canon generic plus ufr ii").canonUfr) << "markers are case-sensitive";
    EXPECT_TRUE(modelOf("TOSHIBA Universal Printer 2").usesPresets());
    EXPECT_FALSE(modelOf("Vellox Generic").usesPresets());
}

TEST(PresetRules, FolderFileTwoTrayAndRotation)
{
    const PrinterModel irAdv = modelOf("Canon Office XPS Class Driver");
    const PrinterModel ufr = modelOf("Canon Generic Plus UFR II");
    const PrinterModel toshiba = modelOf("TOSHIBA Universal Printer 2");
    const PrinterModel epson = modelOf("EPSON EM-C8100 Series");

    PresetChoice c = choosePreset(irAdv, 2, {{"size", "A4"}, {"type", "part"}});
    EXPECT_EQ(c.relativePath(), "devmode/canon-iR-ADV/extension_A4_2Tray.dat");
    EXPECT_TRUE(c.twoTray && c.partMode);
    EXPECT_FALSE(c.rotate180);
    EXPECT_EQ(choosePreset(irAdv, 8, {{"size", "A4"}, {"type", "part"}}).fileName, "extension_A4.dat");
    EXPECT_EQ(choosePreset(irAdv, 0, {{"size", "A4"}, {"type", "part"}}).fileName, "extension_A4.dat");
    EXPECT_EQ(choosePreset(irAdv, 6, {{"size", "A3"}, {"type", "part"}}).fileName, "extension_A3_2Tray.dat");

    c = choosePreset(toshiba, 2, {{"size", "A3"}, {"type", "whole"}});
    EXPECT_EQ(c.relativePath(), "devmode/lenovo-TOSHIBA/default_A3.dat");
    EXPECT_FALSE(c.partMode || c.twoTray || c.rotate180);
    EXPECT_FALSE(choosePreset(toshiba, 2, {{"size", "A4"}, {"type", "part"}}).twoTray) << "two trays: Canon only";

    c = choosePreset(ufr, 3, {{"size", "16K"}, {"type", "part"}});
    EXPECT_EQ(c.relativePath(), "devmode/canon-UFR/extension_16K_2Tray.dat");
    EXPECT_FALSE(c.rotate180);
    EXPECT_EQ(choosePreset(ufr, 7, {{"size", "16K"}, {"type", "part"}}).fileName, "extension_16K.dat");
    EXPECT_TRUE(choosePreset(ufr, 7, {{"size", "8K"}, {"type", "part"}}).rotate180);
    EXPECT_TRUE(choosePreset(ufr, 7, {{"size", "A3"}, {"type", "whole"}}).rotate180);
    EXPECT_FALSE(choosePreset(ufr, 7, {{"size", "A4"}, {"type", "part"}}).rotate180);

    c = choosePreset(epson, 2, {{"size", "B5"}, {"type", "part"}});
    EXPECT_EQ(c.relativePath(), "devmode/Epson-EMC8100/default_A3.dat");
    EXPECT_FALSE(c.rotate180);
    EXPECT_TRUE(c.partMode);
    EXPECT_TRUE(choosePreset(epson, 2, {{"size", "16K"}, {"type", "whole"}}).rotate180);
    EXPECT_EQ(choosePreset(epson, 2, {{"type", "part"}}).fileName, "default_A3.dat");

    EXPECT_FALSE(choosePreset(irAdv, 2, {}).available) << "an empty configuration cannot be configured";
    EXPECT_FALSE(choosePreset(modelOf("Vellox Generic"), 2, {{"size", "A4"}}).available);
    // An iR-ADV takes precedence over the other markers.
    EXPECT_EQ(presetModelFolder(PrinterModel::of(QStringLiteral("Canon Office XPS Class Driver EPSON EM-C8100 Series"),
                                                 QString())),
              "canon-iR-ADV/");
}

TEST(DevModeLayout, FieldsSitAtTheirWindowsOffsets)
{
    // A preset file is the structure's bytes, little-endian.
    QByteArray file(300, '\0');
    const auto put16 = [&file](int offset, int value) {
        file[offset] = char(value & 0xff);
        file[offset + 1] = char((value >> 8) & 0xff);
    };
    put16(68, 220);
    put16(70, 80);
    file[72] = char(DM_PAPERSIZE | DM_ORIENTATION);
    put16(76, DMORIENT_LANDSCAPE);
    put16(78, DMPAPER_A3);
    put16(88, DMBIN_USER + 1);
    put16(92, DMCOLOR_COLOR);
    put16(94, DMDUP_HORIZONTAL);
    put16(102, 'A');
    DevModeBuffer buffer(std::size_t(file.size()));
    std::memcpy(buffer.data(), file.constData(), std::size_t(file.size()));
    const DEVMODEW* dm = buffer.get();
    ASSERT_NE(dm, nullptr);
    EXPECT_EQ(dm->dmSize, 220);
    EXPECT_EQ(dm->dmDriverExtra, 80);
    EXPECT_EQ(dm->dmFields, DM_PAPERSIZE | DM_ORIENTATION);
    EXPECT_EQ(dm->dmOrientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(dm->dmPaperSize, DMPAPER_A3);
    EXPECT_EQ(dm->dmDefaultSource, DMBIN_USER + 1);
    EXPECT_EQ(dm->dmColor, DMCOLOR_COLOR);
    EXPECT_EQ(dm->dmDuplex, DMDUP_HORIZONTAL);
    EXPECT_EQ(dm->dmFormName[0], u'A');
    EXPECT_EQ(buffer.declaredSize(), 300u);
    EXPECT_EQ(DevModeBuffer(219).get(), nullptr) << "shorter than the public part";
}

IppPrinterCapabilities generic()
{
    IppPrinterCapabilities caps;
    caps.media = {"iso_a4_210x297mm", "iso_a3_297x420mm", "na_letter_8.5x11in", "om_8k_270x390mm"};
    caps.mediaDefault = "na_letter_8.5x11in";
    caps.mediaDatabase = {{20990, 29704, {423, 423, 423, 423}}, {29704, 42016, {500, 600, 700, 800}}};
    caps.marginsSupported = {300, 300, 300, 300};
    caps.sources = {"tray-1", "tray-2", "manual"};
    caps.sides = {"one-sided", "two-sided-long-edge", "two-sided-short-edge"};
    caps.sidesDefault = "one-sided";
    caps.colorModes = {"monochrome", "color"};
    caps.colorModeDefault = "color";
    caps.copiesDefault = 1;
    caps.copiesMax = 99;
    return caps;
}

TEST(IppDevMode, PapersAndBinsMapToWindowsIds)
{
    const IppPrinterCapabilities caps = generic();
    int w = 0;
    int h = 0;
    ASSERT_TRUE(IppDevMode::mediaDimensions("na_letter_8.5x11in", &w, &h));
    EXPECT_EQ(w, 21590);
    EXPECT_EQ(h, 27940);
    ASSERT_TRUE(IppDevMode::mediaDimensions("om_8k_270x390mm", &w, &h));
    EXPECT_EQ(w, 27000);
    EXPECT_FALSE(IppDevMode::mediaDimensions("custom", &w, &h));
    EXPECT_FALSE(IppDevMode::mediaDimensions("iso_a4_210x297", &w, &h));

    EXPECT_EQ(IppDevMode::paperId(caps, "iso_a4_210x297mm"), DMPAPER_A4);
    EXPECT_EQ(IppDevMode::paperId(caps, "iso_a3_297x420mm"), DMPAPER_A3);
    EXPECT_EQ(IppDevMode::paperId(caps, "na_letter_8.5x11in"), DMPAPER_LETTER);
    EXPECT_EQ(IppDevMode::paperId(caps, "om_8k_270x390mm"), DMPAPER_USER + 1 + 3);
    EXPECT_EQ(IppDevMode::paperId(caps, "na_legal_8.5x14in"), 0) << "not supported by this printer";
    EXPECT_EQ(IppDevMode::mediaForPaper(caps, DMPAPER_USER + 4), "om_8k_270x390mm");
    EXPECT_EQ(IppDevMode::mediaForPaper(caps, DMPAPER_USER + 1), "") << "index 0 is A4, which has its own id";
    EXPECT_EQ(IppDevMode::mediaForPaper(caps, DMPAPER_LEGAL), "");

    const std::vector<PrinterChoice> bins = IppDevMode::bins(caps);
    ASSERT_EQ(bins.size(), 3u);
    EXPECT_EQ(bins[1].id, DMBIN_USER + 1);
    EXPECT_EQ(bins[1].name, L"tray-2");
    EXPECT_EQ(IppDevMode::sourceForBin(caps, DMBIN_USER + 3), "");
    EXPECT_EQ(IppDevMode::sourceForBin(caps, DMBIN_UPPER), "");
    EXPECT_EQ(IppDevMode::papers(caps)[3].name, L"om_8k_270x390mm");
}

TEST(IppDevMode, CurrentIsTheQueueDefaultsAndValidationClamps)
{
    IppPrinterCapabilities caps = generic();
    caps.sourceDefault = "tray-2";
    caps.orientationDefault = 4;
    DevModeBuffer current = IppDevMode::currentDevMode(caps, L"generic");
    ASSERT_EQ(current.size(), 220u);
    const DEVMODEW* dm = current.get();
    EXPECT_EQ(dm->dmSize, 220);
    EXPECT_EQ(dm->dmDriverExtra, 0);
    EXPECT_EQ(dm->dmPaperSize, DMPAPER_LETTER);
    EXPECT_EQ(dm->dmDuplex, DMDUP_SIMPLEX);
    EXPECT_EQ(dm->dmColor, DMCOLOR_COLOR);
    EXPECT_EQ(dm->dmDefaultSource, DMBIN_USER + 1);
    EXPECT_EQ(dm->dmOrientation, DMORIENT_LANDSCAPE);
    EXPECT_EQ(dm->dmFields & (DM_PAPERSIZE | DM_DUPLEX | DM_COLOR | DM_DEFAULTSOURCE | DM_COPIES),
              DM_PAPERSIZE | DM_DUPLEX | DM_COLOR | DM_DEFAULTSOURCE | DM_COPIES);
    EXPECT_EQ(dm->dmDeviceName[0], u'g');

    // A device mode from another driver on a one-sided monochrome printer without Legal.
    IppPrinterCapabilities mono = generic();
    mono.sides = {"one-sided"};
    mono.colorModes = {"monochrome"};
    DevModeBuffer foreign(220 + 64);
    DEVMODEW* f = foreign.get();
    f->dmSize = 220;
    f->dmDriverExtra = 64;
    f->dmFields = DM_PAPERSIZE | DM_DUPLEX | DM_COLOR | DM_DEFAULTSOURCE | DM_COPIES;
    f->dmPaperSize = DMPAPER_LEGAL;
    f->dmDuplex = DMDUP_VERTICAL;
    f->dmColor = DMCOLOR_COLOR;
    f->dmDefaultSource = DMBIN_UPPER;
    f->dmCopies = 500;
    ASSERT_TRUE(IppDevMode::validate(mono, &foreign));
    ASSERT_EQ(foreign.size(), 220u) << "driver data dropped";
    f = foreign.get();
    EXPECT_EQ(f->dmDriverExtra, 0);
    EXPECT_EQ(f->dmPaperSize, DMPAPER_LETTER) << "unknown paper becomes the default";
    EXPECT_EQ(f->dmDuplex, DMDUP_SIMPLEX);
    EXPECT_EQ(f->dmColor, DMCOLOR_MONOCHROME);
    EXPECT_EQ(f->dmFields & DM_DEFAULTSOURCE, 0u) << "unknown source dropped";
    EXPECT_EQ(f->dmCopies, 99);

    // Supported values stay.
    DevModeBuffer fine = IppDevMode::currentDevMode(generic(), L"generic");
    fine.get()->dmPaperSize = DMPAPER_A3;
    fine.get()->dmDuplex = DMDUP_HORIZONTAL;
    ASSERT_TRUE(IppDevMode::validate(generic(), &fine));
    EXPECT_EQ(fine.get()->dmPaperSize, DMPAPER_A3);
    EXPECT_EQ(fine.get()->dmDuplex, DMDUP_HORIZONTAL);

    DevModeBuffer tooShort(100);
    EXPECT_FALSE(IppDevMode::validate(generic(), &tooShort));
}

TEST(IppDevMode, JobOptionsAndPageGeometry)
{
    const IppPrinterCapabilities caps = generic();
    DevModeBuffer buffer(220);
    DEVMODEW* dm = buffer.get();
    dm->dmFields = DM_DEFAULTSOURCE | DM_COLOR;
    dm->dmDefaultSource = DMBIN_USER + 2;
    dm->dmColor = DMCOLOR_MONOCHROME;
    // A source without a paper is sent with the default paper's size.
    auto options = IppDevMode::jobOptions(caps, *dm);
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].first, "media-col");
    EXPECT_EQ(options[0].second, "{media-size={x-dimension=21590 y-dimension=27940} media-source=manual}");
    EXPECT_EQ(options[1], (std::pair<std::string, std::string>("print-color-mode", "monochrome")));

    dm->dmFields = DM_PAPERSIZE | DM_DUPLEX | DM_COPIES;
    dm->dmPaperSize = DMPAPER_A3;
    dm->dmDuplex = DMDUP_HORIZONTAL;
    dm->dmCopies = 2;
    options = IppDevMode::jobOptions(caps, *dm);
    ASSERT_EQ(options.size(), 3u);
    EXPECT_EQ(options[0].second, "{media-size={x-dimension=29700 y-dimension=42000}}");
    EXPECT_EQ(options[1].second, "two-sided-short-edge");
    EXPECT_EQ(options[2], (std::pair<std::string, std::string>("copies", "2")));
    dm->dmFields = 0;
    EXPECT_TRUE(IppDevMode::jobOptions(caps, *dm).empty());

    // A3 with its own margins, in 300 dpi device pixels.
    dm->dmFields = DM_PAPERSIZE;
    IppDevMode::PageGeometry g = IppDevMode::pageGeometry(caps, *dm);
    EXPECT_NEAR(g.pageWidthPt, 841.9, 0.1);
    EXPECT_NEAR(g.pageHeightPt, 1190.6, 0.1);
    EXPECT_NEAR(g.areaLeftPt, 500 * 72.0 / 2540, 0.01);
    EXPECT_NEAR(g.areaTopPt, 600 * 72.0 / 2540, 0.01);
    EXPECT_EQ(g.area.width, int((29700 - 500 - 700) * 300 / 2540.0));
    EXPECT_EQ(g.area.height, int((42000 - 600 - 800) * 300 / 2540.0));
    // Landscape turns the sheet and its margins.
    dm->dmFields |= DM_ORIENTATION;
    dm->dmOrientation = DMORIENT_LANDSCAPE;
    g = IppDevMode::pageGeometry(caps, *dm);
    EXPECT_NEAR(g.pageWidthPt, 1190.6, 0.1);
    EXPECT_EQ(g.area.width, int((42000 - 600 - 800) * 300 / 2540.0));
    // A size missing from the database takes the printer's widest margins.
    dm->dmFields = DM_PAPERSIZE;
    dm->dmPaperSize = DMPAPER_USER + 4;
    g = IppDevMode::pageGeometry(caps, *dm);
    EXPECT_EQ(g.area.width, int((27000 - 600) * 300 / 2540.0));
}

// --- job tracking ---

PrinterQueueSnapshot reading(std::initializer_list<std::pair<int, const char*>> jobs,
                             PrinterCondition condition = {})
{
    PrinterQueueSnapshot snapshot;
    snapshot.ok = true;
    snapshot.empty = jobs.size() == 0;
    snapshot.condition = condition;
    for (const auto& [id, status] : jobs)
        snapshot.jobs.insert(id, QString::fromLatin1(status));
    return snapshot;
}

TrackedPrintJob job(const char* id, int jobId, bool irAdv, bool legacy, const char* printer = "p")
{
    TrackedPrintJob j;
    j.uniqueId = QString::fromLatin1(id);
    j.jobId = jobId;
    j.isCanonIrAdv = irAdv;
    j.legacy = legacy;
    j.printerName = QString::fromLatin1(printer);
    return j;
}

// Feeds recorded readings of one printer to a fresh book, one poll every `stepMs` from the jobs'
// submission; the ids ended at each poll.
std::vector<QStringList> replay(const QList<TrackedPrintJob>& jobs, const std::vector<PrinterQueueSnapshot>& polls,
                                QMap<QString, JobOutcome> outcomes = {},
                                std::vector<TrackedJobBook::PollReport>* reports = nullptr,
                                const PrintWaitPolicy& policy = PrintWaitPolicy(), qint64 stepMs = 500)
{
    TrackedJobBook book(policy);
    for (const TrackedPrintJob& j : jobs)
        book.add(j);
    std::vector<QStringList> ended;
    qint64 now = 0;
    for (const PrinterQueueSnapshot& snapshot : polls) {
        now += stepMs;
        TrackedJobBook::PollReading r;
        r.snapshots.insert(QStringLiteral("p"), snapshot);
        r.outcomes = outcomes;
        const TrackedJobBook::PollReport report = book.apply(book.all(), r, now);
        QStringList ids;
        for (const auto& e : report.ended)
            ids << e.job.uniqueId;
        ended.push_back(ids);
        if (reports)
            reports->push_back(report);
    }
    return ended;
}

TEST(JobTracking, DecisionTableRows)
{
    // Ordinary printers: finished when its id leaves the queue, or the queue is empty, whatever
    // else the queue holds; single prints ("legacy") alike.
    for (const bool legacy : {false, true}) {
        EXPECT_EQ(replay({job("a", 7, false, legacy)},
                         {reading({{7, "8"}, {9, "1"}}), reading({{7, "10"}, {9, "1"}}), reading({{9, "1"}})}),
                  (std::vector<QStringList> {{}, {}, {"a"}}));
        EXPECT_EQ(replay({job("a", 7, false, legacy)}, {reading({})}), (std::vector<QStringList> {{"a"}}));
        // An absent iR-ADV job has printed.
        EXPECT_EQ(replay({job("c", 7, true, legacy)}, {reading({{9, "3000"}})}), (std::vector<QStringList> {{"c"}}));
    }
    // Canon iR-ADV keeps printed jobs: "2010" then "3000" ends it; first seen at "3000" does not.
    EXPECT_EQ(replay({job("c", 7, true, false)},
                     {reading({{7, "2010"}}), reading({{7, "3000"}})}),
              (std::vector<QStringList> {{}, {"c"}}));
    EXPECT_EQ(replay({job("c", 7, true, false)},
                     {reading({{7, "3000"}}), reading({{7, "3000"}}), reading({{7, "2010"}}), reading({{7, "3000"}})}),
              (std::vector<QStringList> {{}, {}, {}, {"c"}}));
    EXPECT_EQ(replay({job("c", 7, true, false)}, {reading({{7, "2010"}}), reading({{7, "2000"}}), reading({{7, "3000"}})}),
              (std::vector<QStringList> {{}, {}, {}}))
        << "the status check needs the two readings in a row";
}

TEST(JobTracking, UnreadableQueueChangesNothing)
{
    PrinterQueueSnapshot unreadable;
    std::vector<TrackedJobBook::PollReport> reports;
    EXPECT_EQ(replay({job("a", 7, false, false)}, {unreadable, unreadable, reading({})}, {}, &reports),
              (std::vector<QStringList> {{}, {}, {"a"}}));
    EXPECT_EQ(reports[0].unreadablePrinters, QStringList {"p"});
    EXPECT_FALSE(reports[1].nowEmpty);
    EXPECT_TRUE(reports[2].nowEmpty);
}

TEST(JobTracking, EndedJobsInKeyOrderWithTheCountBeforeRemoval)
{
    std::vector<TrackedJobBook::PollReport> reports;
    replay({job("b", 2, false, false), job("a", 1, false, false), job("c", 3, false, false)}, {reading({{3, "8"}})}, {},
           &reports);
    ASSERT_EQ(reports[0].ended.size(), 2);
    EXPECT_EQ(reports[0].ended[0].job.uniqueId, "a");
    EXPECT_EQ(reports[0].ended[0].activeJobCount, 3);
    EXPECT_EQ(reports[0].ended[1].job.uniqueId, "b");
    EXPECT_EQ(reports[0].ended[1].activeJobCount, 2);
    EXPECT_FALSE(reports[0].nowEmpty);
}

TEST(JobTracking, StoppedQueuesAndFailedOutcomesFailTheJob)
{
    PrinterCondition stopped;
    stopped.stopped = true;
    std::vector<TrackedJobBook::PollReport> reports;
    // Stopped at two polls in a row; one good poll in between starts the count again.
    EXPECT_EQ(replay({job("a", 7, false, false), job("l", 8, false, true)},
                     {reading({{7, "0"}, {8, "0"}}, stopped), reading({{7, "0"}, {8, "0"}}),
                      reading({{7, "0"}, {8, "0"}}, stopped), reading({{7, "0"}, {8, "0"}}, stopped)},
                     {}, &reports),
              (std::vector<QStringList> {{}, {}, {}, {"a", "l"}}));
    EXPECT_EQ(reports[3].ended[0].failure, TrackedJobBook::FailReason::PrinterStopped);
    EXPECT_TRUE(reports[3].ended[0].cancel);

    // A job that left the queue cancelled or aborted failed; completed or unknown printed.
    reports.clear();
    replay({job("x", 1, false, false), job("y", 2, false, false), job("z", 3, false, false)}, {reading({{9, "0"}})},
           {{"x", JobOutcome::Cancelled}, {"y", JobOutcome::Aborted}}, &reports);
    ASSERT_EQ(reports[0].ended.size(), 3);
    EXPECT_EQ(reports[0].ended[0].failure, TrackedJobBook::FailReason::JobCancelled);
    EXPECT_FALSE(reports[0].ended[0].cancel);
    EXPECT_EQ(reports[0].ended[1].failure, TrackedJobBook::FailReason::JobAborted);
    EXPECT_EQ(reports[0].ended[2].failure, TrackedJobBook::FailReason::None);
}

TEST(JobTracking, AWaitingJobIsToldWhyAndTakenBackOnlyAtTheLimit)
{
    PrintWaitPolicy policy;
    policy.noticeMs = 2000;
    policy.canonIrAdvNoticeMs = 4000;
    policy.giveUpMs = 5000;
    PrinterCondition empty;
    empty.noPaper = true;
    PrinterCondition offline;
    offline.offline = true;
    offline.noPaper = true; // off first: paper can wait
    const auto reasons = [](const std::vector<TrackedJobBook::PollReport>& reports) {
        QStringList keys;
        for (const auto& report : reports) {
            for (const auto& change : report.waitChanges)
                keys << QString("%1:%2").arg(change.job.uniqueId, printWaitReasonKey(change.reason));
        }
        return keys;
    };

    // Out of paper, then offline for one poll (a printer waking): told on each change, nothing
    // fails; back to printing, then silent past the notice time; printed in the end.
    std::vector<TrackedJobBook::PollReport> reports;
    EXPECT_EQ(replay({job("a", 7, false, false)},
                     {reading({{7, "10"}}, empty), reading({{7, "10"}}, empty), reading({{7, "10"}}, offline),
                      reading({{7, "10"}}), reading({{7, "10"}}), reading({})},
                     {}, &reports, policy, 300),
              (std::vector<QStringList> {{}, {}, {}, {}, {}, {"a"}}));
    EXPECT_EQ(reasons(reports), (QStringList {"a:media-empty", "a:offline", "a:"}));

    // Nothing reported, not printed: "no-response" at the notice time (later on an iR-ADV),
    // taken back at the limit; jammed meanwhile says so, and going on after it says that.
    reports.clear();
    PrinterCondition jammed;
    jammed.jammed = true;
    EXPECT_EQ(replay({job("a", 7, false, false), job("c", 8, true, false)},
                     {reading({{7, "10"}, {8, "2010"}}), reading({{7, "10"}, {8, "2010"}}),
                      reading({{7, "10"}, {8, "2010"}}, jammed), reading({{7, "10"}, {8, "2010"}}),
                      reading({{7, "10"}, {8, "2010"}})},
                     {}, &reports, policy, 1100),
              (std::vector<QStringList> {{}, {}, {}, {}, {"a", "c"}}));
    EXPECT_EQ(reasons(reports), (QStringList {"a:no-response", "a:media-jam", "c:media-jam", "a:", "c:"}))
        << "a printer that goes on after a jam is printing: silent again only after a notice time";
    ASSERT_EQ(reports[4].ended.size(), 2);
    EXPECT_EQ(reports[4].ended[0].failure, TrackedJobBook::FailReason::GaveUp);
    EXPECT_TRUE(reports[4].ended[0].cancel);

    // The limit holds when the queue cannot be read at all.
    reports.clear();
    EXPECT_EQ(replay({job("u", 7, false, false)}, {PrinterQueueSnapshot(), PrinterQueueSnapshot()}, {}, &reports,
                     policy, 3000),
              (std::vector<QStringList> {{}, {"u"}}));
    EXPECT_EQ(reports[1].ended[0].failure, TrackedJobBook::FailReason::GaveUp);
}

TEST(JobTracking, SpoolerStatusBitsOnlyStopAPausedQueueAndNameWhatAPersonFixes)
{
    using namespace PrinterStatus;
    const auto reason = [](std::uint32_t status, std::uint32_t attributes = 0) {
        return printWaitReasonKey(waitReasonOf(printerConditionOf(status, attributes)));
    };
    EXPECT_TRUE(printerConditionOf(Paused, 0).stopped);
    for (const std::uint32_t error : {Error, UserIntervention, Error | UserIntervention, OutputBinFull}) {
        EXPECT_FALSE(printerConditionOf(error, 0).stopped) << error;
        EXPECT_EQ(reason(error), "needs-attention") << error;
    }
    // A named cause wins over the bare error bit that drivers set beside it.
    EXPECT_EQ(reason(Error | PaperOut), "media-empty");
    EXPECT_EQ(reason(UserIntervention | PaperJam), "media-jam");
    EXPECT_EQ(reason(ManualFeed), "media-empty");
    EXPECT_EQ(reason(NoToner), "marker-supply-empty");
    EXPECT_EQ(reason(WarmingUp), "warming-up");
    EXPECT_EQ(reason(PowerSave), "warming-up");
    EXPECT_EQ(reason(DoorOpen | Error), "door-open");
    EXPECT_EQ(reason(0, WorkOfflineAttribute), "offline");
    EXPECT_EQ(reason(NotAvailable | WarmingUp), "offline");
    EXPECT_EQ(reason(0), "");
    EXPECT_FALSE(printerConditionOf(PendingDeletion, 0).acceptingJobs);

    // A printer that reports nothing leaves it to the job's own status; a paused queue fails
    // its jobs instead of telling why they wait.
    PrintWaitPolicy policy;
    policy.noticeMs = 100000;
    std::vector<TrackedJobBook::PollReport> reports;
    PrinterCondition paused;
    paused.stopped = true;
    const auto status = [](std::uint32_t bits) { return jobStatusText(bits).toStdString(); };
    const std::string paperOut = status(JobStatus::Printing | JobStatus::PaperOut);
    const std::string intervention = status(JobStatus::UserIntervention);
    const std::string blocked = status(JobStatus::BlockedByDeviceQueue);
    const std::string offline = status(JobStatus::Offline);
    const std::string error = status(JobStatus::Printing | JobStatus::Error);
    replay({job("a", 7, false, false)},
           {reading({{7, paperOut.c_str()}}), reading({{7, intervention.c_str()}}), reading({{7, blocked.c_str()}}),
            reading({{7, offline.c_str()}}), reading({{7, "10"}}), reading({{7, error.c_str()}}, paused)},
           {}, &reports, policy);
    QStringList told;
    for (const auto& report : reports) {
        for (const auto& change : report.waitChanges)
            told << printWaitReasonKey(change.reason);
    }
    EXPECT_EQ(told, (QStringList {"media-empty", "needs-attention", "offline", ""}));
}

TEST(JobTracking, JobsOfEachPrinterAreJudgedByTheirOwnQueue)
{
    TrackedJobBook book;
    book.add(job("a", 5, false, false, "first"));
    book.add(job("b", 5, false, false, "second"));
    TrackedJobBook::PollReading r;
    r.snapshots.insert("first", reading({{5, "10"}}));
    r.snapshots.insert("second", reading({{6, "10"}}));
    TrackedJobBook::PollReport report = book.apply(book.all(), r, 100);
    ASSERT_EQ(report.ended.size(), 1);
    EXPECT_EQ(report.ended[0].job.uniqueId, "b");

    // A job registered again after the poll started waits for the next poll.
    const QList<TrackedPrintJob> polled = book.all();
    book.add(job("a", 9, false, false, "first"));
    r.snapshots.insert("first", reading({}));
    report = book.apply(polled, r, 200);
    EXPECT_TRUE(report.ended.isEmpty());
    EXPECT_TRUE(book.contains("a"));

    // A job the agent takes back ends at the next poll, unless it has printed by then.
    book.add(job("x", 11, false, false, "first"));
    ASSERT_TRUE(book.requestCancel("a"));
    ASSERT_TRUE(book.requestCancel("x"));
    EXPECT_FALSE(book.requestCancel("nobody"));
    r.snapshots.insert("first", reading({{11, "10"}}));
    report = book.apply(book.all(), r, 300);
    ASSERT_EQ(report.ended.size(), 2);
    EXPECT_EQ(report.ended[0].failure, TrackedJobBook::FailReason::None) << "job 9 has left the queue";
    EXPECT_EQ(report.ended[1].failure, TrackedJobBook::FailReason::CancelledByAgent);
    EXPECT_TRUE(report.ended[1].cancel);
}

TEST(PrintPapers, KaiSizesByDimensionsElseByName)
{
    const std::vector<PrinterChoice> papers {{9, L"iso_a4_210x297mm", 2100, 2970},
                                             {257, L"om_dai-pa-kai_275x395mm", 2750, 3950},
                                             {258, L"om_pa-kai_267x389mm", 2670, 3890},
                                             {259, L"prc_16k_146x215mm", 1460, 2150},
                                             {260, L"custom_195x270mm_195x270mm", 1950, 2700}};
    EXPECT_EQ(kaiPaperId(papers, "8K"), 258) << "the nearest of the 8K sizes";
    EXPECT_EQ(kaiPaperId(papers, "16K"), 260) << "by size before a paper merely named 16K";
    EXPECT_EQ(kaiPaperId({{300, L"16K", 0, 0}, {301, L"8K 横向", 0, 0}}, "8K"), 301);
    EXPECT_EQ(kaiPaperId({{300, L"16K", 0, 0}}, "16K"), 300);
    EXPECT_EQ(kaiPaperId({{300, L"A4", 2100, 2970}, {301, L"18K", 0, 0}}, "8K"), 0);
    EXPECT_EQ(kaiPaperId(papers, "A4"), 0);
}

} // namespace
