// Printer selection and configuration against a real IPP printer behind a private CUPS: what a
// configuration asks for is what the printer receives.

#include "cupsharness.h"
#include "logcapture.h"
#include "printtestkit.h"
#include "wait.h"

#include "printing/devmodedialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

using namespace ptest;
using vtest::CupsHarness;

namespace {

QList<CupsHarness::Model> models()
{
    CupsHarness::Model generic = CupsHarness::Model(QStringLiteral("generic"), QStringLiteral("Vellox Generic Duplex Colour"));
    generic.defaultSize = QStringLiteral("Letter");
    generic.sizes << QStringLiteral("8K") << QStringLiteral("16K");
    generic.trays = QStringList {"Tray1", "Tray2", "Manual"};
    CupsHarness::Model mono = CupsHarness::Model(QStringLiteral("mono"), QStringLiteral("Vellox Mono Simplex"));
    mono.color = false;
    mono.duplex = false;
    mono.trays = QStringList {"Tray1"};
    CupsHarness::Model ufr = CupsHarness::Model(QStringLiteral("ufr"), QStringLiteral("Canon Generic Plus UFR II"));
    return {generic, mono, ufr};
}

testing::Environment* const cupsEnvironment = CupsHarness::registerForProgram(models());

// media-col as the printer saw it: the size in hundredths of a millimetre and the source.
struct MediaCol {
    int width = 0;
    int height = 0;
    QString source;
};
MediaCol mediaCol(const QString& text)
{
    MediaCol col;
    const QRegularExpression size(QStringLiteral("x-dimension=(\\d+) y-dimension=(\\d+)"));
    const QRegularExpressionMatch sizeMatch = size.match(text);
    if (sizeMatch.hasMatch()) {
        col.width = sizeMatch.captured(1).toInt();
        col.height = sizeMatch.captured(2).toInt();
    }
    const QRegularExpressionMatch source = QRegularExpression(QStringLiteral("media-source=([\\w-]+)")).match(text);
    if (source.hasMatch())
        col.source = source.captured(1);
    return col;
}

bool near(int value, int expected)
{
    return std::abs(value - expected) <= 100;
}

class CupsConfigTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(cups().isRunning()) << cups().errorText().toStdString();
        ASSERT_TRUE(cups().setDefault(QStringLiteral("generic")));
        printer = std::make_unique<CPrinter>(createPlatformPrintSpooler(), folders.config());
    }

    // Prints one page with `config` on the default queue and returns what the printer saw.
    QMap<QString, QString> printedWith(const QString& queue, const QString& jobName, const PrintConfig& config)
    {
        const QString page = folders.writePage(jobName + ".jpg", 300, 424, Qt::red);
        const PrintRun run = printStudent(*printer, jobName, {page}, config);
        EXPECT_TRUE(run.configured && run.printed && run.finished) << jobName.toStdString();
        EXPECT_TRUE(cups().waitForDocument(queue, jobName)) << jobName.toStdString();
        return cups().jobAttributes(queue, jobName);
    }

    PrintFolders folders;
    std::unique_ptr<CPrinter> printer;
};

TEST_F(CupsConfigTest, SelectionReadsDriverAndBinsAndNeedsADefault)
{
    vtest::LogCapture log;
    ASSERT_TRUE(printer->selectPrinter(QString()));
    EXPECT_EQ(printer->printerName(), "generic");
    EXPECT_EQ(printer->driverName(), "Vellox Generic Duplex Colour");
    EXPECT_EQ(printer->binCount(), 3);
    EXPECT_TRUE(log.contains("select default printer: generic"));
    EXPECT_TRUE(log.contains("select printer name: generic, driver name: Vellox Generic Duplex Colour, bin count: 3"));

    ASSERT_TRUE(printer->selectPrinter(QStringLiteral("ufr")));
    EXPECT_EQ(printer->driverName(), "Canon Generic Plus UFR II");
    EXPECT_TRUE(printer->isCanonUfr());
    EXPECT_EQ(printer->binCount(), 2) << "another printer has trays of its own";

    // A server whose default queue was deleted has no default printer.
    ASSERT_FALSE(cups().run("lpadmin", {"-p", "spare", "-E", "-v", "file:///dev/null"}).isNull());
    ASSERT_TRUE(cups().setDefault("spare"));
    ASSERT_FALSE(cups().run("lpadmin", {"-x", "spare"}).isNull());
    CPrinter fresh(createPlatformPrintSpooler(), folders.config());
    EXPECT_FALSE(fresh.selectPrinter(QString()));
    EXPECT_TRUE(fresh.printerName().isEmpty());
}

TEST_F(CupsConfigTest, GenericPrinterGetsPaperSidesAndColourOfTheConfiguration)
{
    // No configuration: A4, colour, long-edge duplex.
    QMap<QString, QString> seen = printedWith("generic", "cfg_empty", {});
    MediaCol col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 21000) && near(col.height, 29700)) << seen.value("IPP_MEDIA_COL").toStdString();
    EXPECT_EQ(seen.value("IPP_SIDES"), "two-sided-long-edge");
    EXPECT_EQ(seen.value("IPP_PRINT_COLOR_MODE"), "color");
    EXPECT_EQ(seen.value("IPP_JOB_NAME"), "cfg_empty");

    // A3: short-edge duplex.
    seen = printedWith("generic", "cfg_a3", {{"size", "A3"}, {"type", "whole"}});
    col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 29700) && near(col.height, 42000)) << seen.value("IPP_MEDIA_COL").toStdString();
    EXPECT_EQ(seen.value("IPP_SIDES"), "two-sided-short-edge");
    EXPECT_EQ(seen.value("IPP_PRINT_COLOR_MODE"), "color");
    const RenderedPdf pdf = renderPdf(cups().keptDocument("generic", "cfg_a3"));
    ASSERT_EQ(pdf.pageSizes.size(), 1);
    EXPECT_NEAR(pdf.pageSizes[0].width(), 841.9, 1.0);
    EXPECT_NEAR(pdf.pageSizes[0].height(), 1190.6, 1.0);

    // 8K and 16K: the queue's paper of that size; its own sides (one-sided), in colour.
    seen = printedWith("generic", "cfg_8k", {{"size", "8K"}, {"type", "whole"}});
    col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 27000) && near(col.height, 39000)) << seen.value("IPP_MEDIA_COL").toStdString();
    EXPECT_EQ(seen.value("IPP_SIDES"), "one-sided");
    EXPECT_EQ(seen.value("IPP_PRINT_COLOR_MODE"), "color");
    seen = printedWith("generic", "cfg_16k", {{"size", "16K"}, {"type", "whole"}});
    col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 19500) && near(col.height, 27000)) << seen.value("IPP_MEDIA_COL").toStdString();

    // A landscape page goes across the sheet, not shrunk onto it upright.
    const QString wide = folders.writePage("cfg_wide.jpg", 424, 300, Qt::blue);
    ASSERT_TRUE(printStudent(*printer, "cfg_wide", {wide}, {{"size", "A4"}, {"type", "whole"}}).finished);
    ASSERT_TRUE(cups().waitForDocument("generic", "cfg_wide"));
    const RenderedPdf across = renderPdf(cups().keptDocument("generic", "cfg_wide"));
    ASSERT_EQ(across.pageSizes.size(), 1);
    EXPECT_NEAR(across.pageSizes[0].width(), 841.9, 1.0);
    EXPECT_NEAR(across.pageSizes[0].height(), 595.3, 1.0);
    EXPECT_TRUE(isNear(colorAt(across.pages[0], 0.1, 0.5), Qt::blue)) << "the page fills the sheet's width";
}

TEST_F(CupsConfigTest, OneSidedMonochromePrinterIsClamped)
{
    ASSERT_TRUE(cups().setDefault("mono"));
    vtest::LogCapture log;
    const QMap<QString, QString> seen = printedWith("mono", "cfg_mono", {});
    EXPECT_TRUE(log.contains("configPrinter before validate: dmColor=2, dmDuplex=2, dmPaperSize=9"));
    EXPECT_TRUE(log.contains("configPrinter after validate: dmColor=1, dmDuplex=1, dmPaperSize=9"));
    EXPECT_EQ(seen.value("IPP_SIDES"), "one-sided");
    EXPECT_EQ(seen.value("IPP_PRINT_COLOR_MODE"), "monochrome");

    // A queue without an 8K paper keeps its own.
    const QMap<QString, QString> kai = printedWith("mono", "cfg_mono_8k", {{"size", "8K"}, {"type", "whole"}});
    const MediaCol col = mediaCol(kai.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 21000) && near(col.height, 29700)) << kai.value("IPP_MEDIA_COL").toStdString();
}

TEST_F(CupsConfigTest, PresetsFromTheModelFolderArriveAtThePrinter)
{
    ASSERT_TRUE(cups().setDefault("ufr"));
    // Two bins and "part": the two-tray file. Its foreign driver data is dropped.
    folders.writePreset("canon-UFR/", "extension_A3_2Tray.dat",
                        devModeBytes(DMPAPER_A3, DMDUP_HORIZONTAL, DMCOLOR_COLOR, DMBIN_USER + 1, 600));
    vtest::LogCapture log;
    const QMap<QString, QString> seen = printedWith("ufr", "preset_a3", {{"size", "A3"}, {"type", "part"}});
    EXPECT_TRUE(log.contains("devmode/canon-UFR/extension_A3_2Tray.dat , config result: true"));
    const MediaCol col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 29700) && near(col.height, 42000)) << seen.value("IPP_MEDIA_COL").toStdString();
    EXPECT_EQ(col.source, "tray-2");
    EXPECT_EQ(seen.value("IPP_SIDES"), "two-sided-short-edge");
    EXPECT_TRUE(printer->partMode());
    EXPECT_TRUE(printer->rotate180());

    // A file one byte short of a device mode, a missing file and an empty configuration: nothing.
    folders.writePreset("canon-UFR/", "extension_A4_2Tray.dat", devModeBytes(DMPAPER_A4, 0, 0, 0).left(219));
    ASSERT_TRUE(printer->selectPrinter(QString()));
    EXPECT_EQ(printer->configPrinter({{"size", "A4"}, {"type", "part"}}), nullptr);
    EXPECT_TRUE(log.contains("extension_A4_2Tray.dat , config result: false"));
    EXPECT_EQ(printer->configPrinter({{"size", "16K"}, {"type", "whole"}}), nullptr);
    EXPECT_TRUE(log.contains("default_16K.dat , config result: false"));
    EXPECT_EQ(printer->configPrinter({}), nullptr);
}

// Finds the modal dialog once it is open and lets the test act on it.
void onDialog(std::function<void(DevModeDialog*)> act)
{
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, act] {
        if (auto* dialog = qobject_cast<DevModeDialog*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            act(dialog);
        }
    });
    timer->start(20);
}

void choose(DevModeDialog* dialog, const char* box, const QString& text)
{
    auto* combo = dialog->findChild<QComboBox*>(box);
    ASSERT_NE(combo, nullptr) << box;
    const int index = combo->findText(text);
    ASSERT_GE(index, 0) << text.toStdString();
    combo->setCurrentIndex(index);
}

TEST_F(CupsConfigTest, PreferencesDialogSavesAPresetThatPrintsAsChosen)
{
    ASSERT_TRUE(cups().setDefault("ufr"));
    const QString temp = folders.config()->tempFolder();
    const QString dat = temp + "/extension_AK_default_AK.dat";
    const QString txt = temp + "/extension_AK_default_AK.txt";

    // Cancelled: no files.
    vtest::LogCapture log;
    onDialog([](DevModeDialog* dialog) { dialog->reject(); });
    printer->promptDevmodFile();
    EXPECT_TRUE(log.contains("select printer name: ufr to promptDevmodFile"));
    EXPECT_TRUE(log.contains("user cancelled saving config file..."));
    EXPECT_FALSE(QFile::exists(dat));
    EXPECT_FALSE(QFile::exists(txt));

    onDialog([](DevModeDialog* dialog) {
        choose(dialog, "paperBox", "iso_a3_297x420mm");
        choose(dialog, "sidesBox", DevModeDialog::tr("双面（短边翻转）"));
        choose(dialog, "colorBox", DevModeDialog::tr("黑白"));
        choose(dialog, "sourceBox", "tray-2");
        dialog->accept();
    });
    printer->promptDevmodFile();
    EXPECT_TRUE(log.contains("user saved new config file..."));
    ASSERT_TRUE(QFile::exists(dat));
    QFile description(txt);
    ASSERT_TRUE(description.open(QIODevice::ReadOnly));
    const QJsonObject json = QJsonDocument::fromJson(description.readAll()).object();
    EXPECT_EQ(json.value("printerName").toString(), "ufr");
    EXPECT_EQ(json.value("driverName").toString(), "Canon Generic Plus UFR II");
    EXPECT_EQ(json.value("dmSize").toInt(), 220);
    EXPECT_EQ(json.value("dmDriverExtra").toInt(), 0);
    EXPECT_EQ(json.value("dmPaperSize").toInt(), DMPAPER_A3);
    EXPECT_EQ(json.value("dmPaperName").toString(), "iso_a3_297x420mm");
    EXPECT_EQ(json.value("dmDuplex").toInt(), DMDUP_HORIZONTAL);
    EXPECT_EQ(json.value("dmColor").toInt(), DMCOLOR_MONOCHROME);
    EXPECT_EQ(json.value("dmDefaultSourceName").toString(), "tray-2");
    EXPECT_TRUE(json.value("portName").toString().startsWith("vtest://127.0.0.1:"));

    // Installed by hand as the model's preset, it prints as chosen.
    QDir().mkpath(folders.installFolder() + "/devmode/canon-UFR");
    ASSERT_TRUE(QFile::copy(dat, folders.installFolder() + "/devmode/canon-UFR/extension_A4_2Tray.dat"));
    DevModeBuffer loaded;
    ASSERT_TRUE(printer->loadPresetFile(dat.toStdWString(), L"ufr", &loaded));
    EXPECT_EQ(loaded.get()->dmPaperSize, DMPAPER_A3);
    const QMap<QString, QString> seen = printedWith("ufr", "dialog_preset", {{"size", "A4"}, {"type", "part"}});
    const MediaCol col = mediaCol(seen.value("IPP_MEDIA_COL"));
    EXPECT_TRUE(near(col.width, 29700) && near(col.height, 42000)) << seen.value("IPP_MEDIA_COL").toStdString();
    EXPECT_EQ(col.source, "tray-2");
    EXPECT_EQ(seen.value("IPP_SIDES"), "two-sided-short-edge");
    EXPECT_EQ(seen.value("IPP_PRINT_COLOR_MODE"), "monochrome");
}

} // namespace
