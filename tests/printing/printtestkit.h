#pragma once

// What the printing tests share: a private configuration store with its install folder, page
// images, preset files, a driver that prints one student in the print task's calling order, and
// the pages of a kept PDF as images.

#include "cupsharness.h"

#include "foundation/globalconfig.h"
#include "printing/devmode.h"
#include "printing/printer.h"

#include <QColor>
#include <QImage>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

namespace ptest {

// The program's CUPS harness (CupsHarness::registerForProgram).
inline vtest::CupsHarness& cups()
{
    return vtest::CupsHarness::current();
}

using PrintConfig = QMap<QString, QString>;

// A data folder and an install folder (with the blank page beside the program) of their own.
class PrintFolders {
public:
    PrintFolders();
    QString installFolder() const { return dir.path() + QStringLiteral("/install"); }
    QString dataFolder() const { return dir.path() + QStringLiteral("/data"); }
    KELGlobalConfig* config() { return store.get(); }
    void removeBlankPage();
    // Writes a preset file under devmode/<model folder>/.
    QString writePreset(const QString& modelFolder, const QString& fileName, const QByteArray& bytes);
    // A page image of one colour (top half `top`, bottom half `bottom`) saved as JPEG or PNG.
    QString writePage(const QString& name, int width, int height, QColor top, QColor bottom = QColor(),
                      const char* format = "JPG");

private:
    QTemporaryDir dir;
    std::unique_ptr<KELGlobalConfig> store;
};

// A device mode of 220 bytes with the given fields set, optionally followed by driver data.
QByteArray devModeBytes(short paper, short duplex, short color, short source, int driverExtra = 0);

// One student printed as the print task does it: select the default printer, configure it,
// listen for the finish signal, print from a pool thread, wait for the signal or the time-out.
struct PrintRun {
    bool selected = false;
    bool configured = false;
    bool printed = false;
    bool finished = false;  // the finish signal came
    bool failed = false;    // the failure signal came
    QString failMessage;
    int jobId = 0;
};
PrintRun printStudent(CPrinter& printer, const QString& uniqueId, const QStringList& files,
                      const PrintConfig& config, bool legacy = false, int timeoutMs = 60000);

// Runs `print` on a pool thread as the print task does; false when it failed.
bool printFromPool(CPrinter& printer, const QString& uniqueId, const QStringList& files, bool legacy = false);

// The pages of a PDF rendered at a low resolution, and their size in points.
struct RenderedPdf {
    QList<QImage> pages;
    QList<QSizeF> pageSizes;
};
RenderedPdf renderPdf(const QString& path, int dpi = 20);

// The colour at a fraction of the page (0..1 across, 0..1 down).
QColor colorAt(const QImage& page, double x, double y);
bool isNear(QColor actual, QColor expected, int tolerance = 40);

} // namespace ptest
