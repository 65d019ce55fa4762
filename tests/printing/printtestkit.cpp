#include "printtestkit.h"

#include "wait.h"

#include <QDir>
#include <QFile>
#include <QPainter>
#include <QProcess>
#include <QRegularExpression>
#include <QThreadPool>

#include <atomic>
#include <cstring>
#include <memory>

namespace ptest {

PrintFolders::PrintFolders()
{
    QDir().mkpath(installFolder());
    QDir().mkpath(dataFolder());
    QFile::copy(QStringLiteral(VELLOX_PROGRAM_DIR "/white-page.png"), installFolder() + QStringLiteral("/white-page.png"));
    store = std::make_unique<KELGlobalConfig>(dataFolder(), installFolder());
}

void PrintFolders::removeBlankPage()
{
    QFile::remove(installFolder() + QStringLiteral("/white-page.png"));
}

QString PrintFolders::writePreset(const QString& modelFolder, const QString& fileName, const QByteArray& bytes)
{
    const QString folder = installFolder() + QStringLiteral("/devmode/") + modelFolder;
    QDir().mkpath(folder);
    QFile file(folder + fileName);
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(bytes);
    return file.fileName();
}

QString PrintFolders::writePage(const QString& name, int width, int height, QColor top, QColor bottom,
                                const char* format)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(top);
    if (bottom.isValid()) {
        QPainter painter(&image);
        painter.fillRect(0, height / 2, width, height - height / 2, bottom);
    }
    const QString path = dataFolder() + QLatin1Char('/') + name;
    image.save(path, format, 95);
    return path;
}

QByteArray devModeBytes(short paper, short duplex, short color, short source, int driverExtra)
{
    QByteArray bytes(int(DevModeLayout::kPublicSize) + driverExtra, '\0');
    DEVMODEW dm {};
    dm.dmSpecVersion = DM_SPECVERSION;
    dm.dmSize = DevModeLayout::kPublicSize;
    dm.dmDriverExtra = std::uint16_t(driverExtra);
    dm.dmFields = DM_ORIENTATION | DM_COPIES;
    dm.dmOrientation = DMORIENT_PORTRAIT;
    dm.dmCopies = 1;
    const auto set = [&dm](std::uint32_t bit, short value, std::int16_t& field) {
        if (value) {
            dm.dmFields |= bit;
            field = value;
        }
    };
    set(DM_PAPERSIZE, paper, dm.dmPaperSize);
    set(DM_DUPLEX, duplex, dm.dmDuplex);
    set(DM_COLOR, color, dm.dmColor);
    set(DM_DEFAULTSOURCE, source, dm.dmDefaultSource);
    std::memcpy(bytes.data(), &dm, sizeof(dm));
    for (int i = 0; i < driverExtra; ++i)
        bytes[int(DevModeLayout::kPublicSize) + i] = char(0xA5);
    return bytes;
}

bool printFromPool(CPrinter& printer, const QString& uniqueId, const QStringList& files, bool legacy)
{
    auto done = std::make_shared<std::atomic<int>>(0); // 1 ok, 2 failed
    QThreadPool::globalInstance()->start([&printer, uniqueId, files, legacy, done] {
        const bool ok = printer.print(uniqueId, files, legacy, QStringLiteral("student"), QStringLiteral("s1"));
        done->store(ok ? 1 : 2);
    });
    vtest::waitUntil([&] { return done->load() != 0; }, 120000);
    return done->load() == 1;
}

PrintRun printStudent(CPrinter& printer, const QString& uniqueId, const QStringList& files, const PrintConfig& config,
                      bool legacy, int timeoutMs)
{
    PrintRun run;
    run.selected = printer.selectPrinter(QString());
    if (!run.selected)
        return run;
    run.configured = printer.configPrinter(config) != nullptr;
    if (!run.configured)
        return run;
    QObject context;
    if (legacy)
        QObject::connect(&printer, &CPrinter::sigPrintFinish, &context, [&run] { run.finished = true; });
    else
        QObject::connect(&printer, &CPrinter::sigPrintJobFinished, &context, [&run, uniqueId](const QString& id) {
            run.finished = run.finished || id == uniqueId;
        });
    QObject::connect(&printer, &CPrinter::sigPrintJobFailed, &context,
                     [&run, uniqueId](const QString& id, const QString& message) {
                         if (id == uniqueId) {
                             run.failed = true;
                             run.failMessage = message;
                         }
                     });
    run.printed = printFromPool(printer, uniqueId, files, legacy);
    run.jobId = printer.jobId();
    if (!run.printed)
        return run;
    if (!vtest::waitUntil([&] { return run.finished || run.failed; }, timeoutMs))
        printer.removeTrackedPrintJob(uniqueId);
    return run;
}

RenderedPdf renderPdf(const QString& path, int dpi)
{
    RenderedPdf rendered;
    QProcess info;
    info.start(QStringLiteral("pdfinfo"), {QStringLiteral("-f"), QStringLiteral("1"), QStringLiteral("-l"),
                                           QStringLiteral("999"), path});
    info.waitForFinished(60000);
    const QString text = QString::fromLocal8Bit(info.readAllStandardOutput());
    const QRegularExpression sizeLine(QStringLiteral("Page\\s+\\d+ size:\\s+([\\d.]+) x ([\\d.]+) pts"));
    for (auto it = sizeLine.globalMatch(text); it.hasNext();) {
        const QRegularExpressionMatch match = it.next();
        rendered.pageSizes.append(QSizeF(match.captured(1).toDouble(), match.captured(2).toDouble()));
    }

    QTemporaryDir out;
    QProcess render;
    render.start(QStringLiteral("pdftoppm"),
                 {QStringLiteral("-png"), QStringLiteral("-r"), QString::number(dpi), path, out.path() + "/page"});
    render.waitForFinished(60000);
    QStringList files = QDir(out.path()).entryList({QStringLiteral("page*.png")}, QDir::Files, QDir::Name);
    for (const QString& file : files)
        rendered.pages.append(QImage(out.path() + QLatin1Char('/') + file));
    return rendered;
}

QColor colorAt(const QImage& page, double x, double y)
{
    const int px = std::min(page.width() - 1, std::max(0, int(x * page.width())));
    const int py = std::min(page.height() - 1, std::max(0, int(y * page.height())));
    return page.pixelColor(px, py);
}

bool isNear(QColor actual, QColor expected, int tolerance)
{
    return std::abs(actual.red() - expected.red()) <= tolerance
        && std::abs(actual.green() - expected.green()) <= tolerance
        && std::abs(actual.blue() - expected.blue()) <= tolerance;
}

} // namespace ptest
