// The document a printer receives, rendered: pages in order, scaled and centred, the blank page
// after a single "part" page on the Canon models, pages turned on the models whose trays need it.

#include "cupsharness.h"
#include "printtestkit.h"

#include <QFile>

#include <gtest/gtest.h>

using namespace ptest;
using vtest::CupsHarness;

namespace {

const QString kIrAdvDriver = QStringLiteral("Canon Office XPS Class Driver");
const QString kUfrDriver = QStringLiteral("Canon Generic Plus UFR II");
const QString kEpsonDriver = QStringLiteral("EPSON EM-C8100 Series");

testing::Environment* const cupsEnvironment = CupsHarness::registerForProgram({
    CupsHarness::Model(QStringLiteral("generic"), QStringLiteral("Vellox Generic Duplex Colour")),
    CupsHarness::Model(QStringLiteral("iradv"), kIrAdvDriver),
    CupsHarness::Model(QStringLiteral("ufr"), kUfrDriver),
    CupsHarness::Model(QStringLiteral("epson"), kEpsonDriver),
});

const QColor kRed(255, 0, 0);
const QColor kBlue(0, 0, 255);
const QColor kGreen(0, 160, 0);
const QColor kWhite(255, 255, 255);

class CupsPagesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cups().isRunning()) << cups().errorText().toStdString();
        // Every preset model prints A4 from its "part" and "whole" files.
        const QByteArray a4 = devModeBytes(DMPAPER_A4, DMDUP_VERTICAL, DMCOLOR_COLOR, 0);
        for (const char* folder : {"canon-iR-ADV/", "canon-UFR/", "Epson-EMC8100/"}) {
            for (const char* file : {"extension_A4_2Tray.dat", "extension_A4.dat", "extension_8K_2Tray.dat", "default_A4.dat"})
                folders.writePreset(folder, file, a4);
        }
    }

    // Prints on `queue` and renders what its printer received.
    RenderedPdf printOn(const QString& queue, const QString& jobName, const QStringList& files,
                        const PrintConfig& config)
    {
        EXPECT_TRUE(cups().setDefault(queue));
        CPrinter printer(createPlatformPrintSpooler(), folders.config());
        const PrintRun run = printStudent(printer, jobName, files, config);
        EXPECT_TRUE(run.configured && run.printed && run.finished) << jobName.toStdString();
        EXPECT_TRUE(cups().waitForDocument(queue, jobName)) << jobName.toStdString();
        return renderPdf(cups().keptDocument(queue, jobName));
    }

    PrintFolders folders;
};

TEST_F(CupsPagesTest, PagesArriveInOrderScaledToFitAndCentred)
{
    // Portrait pages smaller than the paper are enlarged to its printable width; a landscape
    // page fills the width and is centred between white bands.
    const QStringList files = {
        folders.writePage("p1.jpg", 420, 594, kRed),
        folders.writePage("p2.jpg", 420, 594, kGreen),
        folders.writePage("p3.png", 800, 400, kBlue, QColor(), "PNG"),
    };
    const RenderedPdf pdf = printOn("generic", "pages_order", files, {{"size", "A4"}, {"type", "whole"}});
    ASSERT_EQ(pdf.pages.size(), 3);
    for (const QSizeF& size : pdf.pageSizes) {
        EXPECT_NEAR(size.width(), 595.3, 1.0);
        EXPECT_NEAR(size.height(), 841.9, 1.0);
    }
    EXPECT_TRUE(isNear(colorAt(pdf.pages[0], 0.5, 0.5), kRed));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[1], 0.5, 0.5), kGreen));
    // Enlarged: colour reaches close to the left and right margins.
    EXPECT_TRUE(isNear(colorAt(pdf.pages[0], 0.05, 0.5), kRed));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[0], 0.95, 0.5), kRed));
    // The landscape page: blue in the middle, white above and below.
    EXPECT_TRUE(isNear(colorAt(pdf.pages[2], 0.5, 0.5), kBlue));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[2], 0.05, 0.5), kBlue));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[2], 0.5, 0.15), kWhite));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[2], 0.5, 0.85), kWhite));
}

TEST_F(CupsPagesTest, SinglePartPageGetsABlankSecondPageOnCanonModelsOnly)
{
    const QString page = folders.writePage("single.jpg", 420, 594, kRed);
    const QString other = folders.writePage("other.jpg", 420, 594, kGreen);

    RenderedPdf pdf = printOn("iradv", "blank_iradv", {page}, {{"size", "A4"}, {"type", "part"}});
    ASSERT_EQ(pdf.pages.size(), 2);
    EXPECT_TRUE(isNear(colorAt(pdf.pages[0], 0.5, 0.5), kRed));
    EXPECT_TRUE(isNear(colorAt(pdf.pages[1], 0.5, 0.5), kWhite));

    pdf = printOn("ufr", "blank_ufr", {page}, {{"size", "A4"}, {"type", "part"}});
    ASSERT_EQ(pdf.pages.size(), 2);
    EXPECT_TRUE(isNear(colorAt(pdf.pages[1], 0.5, 0.5), kWhite));

    // Two pages, "whole", another model, or no blank page installed: no blank page.
    EXPECT_EQ(printOn("iradv", "blank_two", {page, other}, {{"size", "A4"}, {"type", "part"}}).pages.size(), 2);
    EXPECT_EQ(printOn("iradv", "blank_whole", {page}, {{"size", "A4"}, {"type", "whole"}}).pages.size(), 1);
    EXPECT_EQ(printOn("epson", "blank_epson", {page}, {{"size", "A4"}, {"type", "part"}}).pages.size(), 1);
    folders.removeBlankPage();
    EXPECT_EQ(printOn("ufr", "blank_missing", {page}, {{"size", "A4"}, {"type", "part"}}).pages.size(), 1);
}

TEST_F(CupsPagesTest, PagesAreTurnedOnUfrEightKAndEpsonOnly)
{
    // Red on top, blue below: a turned page shows blue on top.
    const QStringList pages = {folders.writePage("halves1.jpg", 420, 594, kRed, kBlue),
                               folders.writePage("halves2.jpg", 420, 594, kRed, kBlue)};
    const auto turned = [](const RenderedPdf& pdf) {
        return pdf.pages.size() == 2 && isNear(colorAt(pdf.pages[0], 0.5, 0.2), kBlue)
            && isNear(colorAt(pdf.pages[0], 0.5, 0.8), kRed) && isNear(colorAt(pdf.pages[1], 0.5, 0.2), kBlue);
    };
    const auto upright = [](const RenderedPdf& pdf) {
        return pdf.pages.size() == 2 && isNear(colorAt(pdf.pages[0], 0.5, 0.2), kRed)
            && isNear(colorAt(pdf.pages[0], 0.5, 0.8), kBlue);
    };
    EXPECT_TRUE(turned(printOn("ufr", "turn_ufr_8k", pages, {{"size", "8K"}, {"type", "part"}})));
    EXPECT_TRUE(upright(printOn("ufr", "turn_ufr_a4", pages, {{"size", "A4"}, {"type", "part"}})));
    EXPECT_TRUE(turned(printOn("epson", "turn_epson", pages, {{"size", "A4"}, {"type", "part"}})));
    EXPECT_TRUE(upright(printOn("epson", "turn_epson_whole", pages, {{"size", "A4"}, {"type", "whole"}})));
    EXPECT_TRUE(upright(printOn("iradv", "turn_iradv", pages, {{"size", "A4"}, {"type", "part"}})));
    EXPECT_TRUE(upright(printOn("generic", "turn_generic", pages, {{"size", "A4"}, {"type", "part"}})));
}

TEST_F(CupsPagesTest, JpegPagesEnterTheDocumentAsTheyStand)
{
    const QString page = folders.writePage("passthrough.jpg", 1240, 1754, kGreen);
    printOn("generic", "passthrough", {page}, {{"size", "A4"}, {"type", "whole"}});
    QFile jpeg(page);
    QFile pdf(cups().keptDocument("generic", "passthrough"));
    ASSERT_TRUE(jpeg.open(QIODevice::ReadOnly) && pdf.open(QIODevice::ReadOnly));
    const QByteArray jpegBytes = jpeg.readAll();
    const QByteArray pdfBytes = pdf.readAll();
    EXPECT_TRUE(pdfBytes.contains(jpegBytes)) << "the JPEG was re-encoded";
    EXPECT_LT(pdfBytes.size(), jpegBytes.size() + 8192);
}

} // namespace
