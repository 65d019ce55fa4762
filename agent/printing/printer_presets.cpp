#include "printing/printer.h"

#include "foundation/globalconfig.h"
#include "foundation/logging.h"
#include "printing/presetrules.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>

namespace {

const QString kGeneratedName = QStringLiteral("/extension_AK_default_AK");

template <typename Char>
QString fixedName(const Char* chars)
{
    int length = 0;
    while (length < int(DevModeLayout::kNameChars) && chars[length])
        ++length;
    return QString::fromUtf16(reinterpret_cast<const ushort*>(chars), length);
}

QString choiceName(const std::vector<PrinterChoice>& choices, int id)
{
    for (const PrinterChoice& choice : choices) {
        if (choice.id == id)
            return QString::fromStdWString(choice.name);
    }
    return QString();
}

// The device mode's size in bytes, with the printer's answer checked.
bool readCurrentDevMode(SpoolerPrinter& printer, DevModeBuffer* block)
{
    const int size = printer.devModeSize();
    if (size <= 0)
        return false;
    *block = DevModeBuffer(std::size_t(size));
    return printer.currentDevMode(block);
}

} // namespace

DEVMODEW* CPrinter::configPrinter(QMap<QString, QString> printConfig)
{
    bool presetModel = false;
    {
        QMutexLocker locker(&mutex);
        presetModel = model().usesPresets();
    }
    if (presetModel) {
        if (DEVMODEW* preset = applyPreset(printConfig))
            return preset;
        QMutexLocker locker(&mutex);
        devMode.clear();
        return nullptr;
    }
    QMutexLocker locker(&mutex);
    return configureGenericPrinter(printConfig);
}

DEVMODEW* CPrinter::configureGenericPrinter(const QMap<QString, QString>& printConfig)
{
    devMode.clear();
    std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(selectedPrinterName.toStdWString());
    if (!printer) {
        KLOG->error("OpenPrinter error");
        return nullptr;
    }
    const int size = printer->devModeSize();
    if (size <= 0) {
        KLOG->error("DocumentPropertiesW error");
        return nullptr;
    }
    devMode = DevModeBuffer(std::size_t(size));
    if (!printer->currentDevMode(&devMode) || !devMode.get()) {
        devMode.clear();
        KLOG->error("DocumentPropertiesW get original error");
        return nullptr;
    }

    DEVMODEW* dm = devMode.get();
    const QString paper = printConfig.value(QStringLiteral("size"));
    if (printConfig.isEmpty()) {
        dm->dmPaperSize = DMPAPER_A4;
        dm->dmColor = DMCOLOR_COLOR;
        dm->dmDuplex = DMDUP_VERTICAL;
        dm->dmFields |= DM_PAPERSIZE | DM_COLOR | DM_DUPLEX;
    } else {
        if (paper == QLatin1String("A3")) {
            dm->dmPaperSize = DMPAPER_A3;
            dm->dmDuplex = DMDUP_HORIZONTAL;
            dm->dmFields |= DM_PAPERSIZE | DM_DUPLEX;
        } else if (paper == QLatin1String("A4")) {
            dm->dmPaperSize = DMPAPER_A4;
            dm->dmDuplex = DMDUP_VERTICAL;
            dm->dmFields |= DM_PAPERSIZE | DM_DUPLEX;
        } else if (const int kai = kaiPaperId(printer->papers(devMode), paper)) {
            // The queue has the size: print on it rather than on whatever paper it defaults to.
            dm->dmPaperSize = short(kai);
            dm->dmFields |= DM_PAPERSIZE;
        }
        dm->dmColor = DMCOLOR_COLOR;
        dm->dmFields |= DM_COLOR;
    }
    KLOG->info("configPrinter before validate: dmColor={}, dmDuplex={}, dmPaperSize={}", dm->dmColor, dm->dmDuplex,
               dm->dmPaperSize);

    if (!printer->validateDevMode(&devMode) || !devMode.get()) {
        devMode.clear();
        KLOG->error("DocumentPropertiesW error");
        return nullptr;
    }
    dm = devMode.get();
    KLOG->info("configPrinter after validate: dmColor={}, dmDuplex={}, dmPaperSize={}", dm->dmColor, dm->dmDuplex,
               dm->dmPaperSize);
    return dm;
}

DEVMODEW* CPrinter::applyPreset(QMap<QString, QString> printConfig)
{
    QMutexLocker locker(&mutex);
    devMode.clear();
    {
        std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(selectedPrinterName.toStdWString());
        if (!printer || !readCurrentDevMode(*printer, &devMode)) {
            devMode.clear();
            return nullptr;
        }
    }
    const PresetChoice choice = choosePreset(model(), paperBinCount, printConfig);
    if (!choice.available) {
        devMode.clear();
        return nullptr;
    }
    partPrinting = choice.partMode;
    halfTurn = choice.rotate180;

    const QString presetPath = config->installFolder() + choice.relativePath();
    const bool ok = loadPresetFile(presetPath.toStdWString(), selectedPrinterName.toStdWString(), &devMode);
    KLOG->info("use config:  {} , config result: {}", presetPath, ok ? "true" : "false");
    return ok ? devMode.get() : nullptr;
}

bool CPrinter::loadPresetFile(std::wstring presetPath, std::wstring printerName, DevModeBuffer* result)
{
    result->clear();
    QFile file(QString::fromStdWString(presetPath));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray preset = file.readAll();
    if (preset.size() < int(DevModeLayout::kPublicSize))
        return false;

    std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(printerName);
    if (!printer)
        return false;
    DevModeBuffer block;
    if (!readCurrentDevMode(*printer, &block) || block.size() < DevModeLayout::kPublicSize)
        return false;

    // The preset's own header replaces the driver's, but never beyond the driver's block.
    const std::size_t copied = std::min<std::size_t>(std::size_t(preset.size()), block.declaredSize());
    std::memcpy(block.data(), preset.constData(), std::min(copied, block.size()));
    DEVMODEW* dm = block.get();
    if (dm->dmSize > block.size())
        return false;
    if (std::size_t(dm->dmSize) + dm->dmDriverExtra > block.size())
        dm->dmDriverExtra = std::uint16_t(block.size() - dm->dmSize);

    if (!printer->validateDevMode(&block) || !block.get())
        return false;
    *result = std::move(block);
    return true;
}

void CPrinter::promptDevmodFile()
{
    std::wstring name;
    if (spooler->defaultPrinter(&name))
        KLOG->info("select printer name: {} to promptDevmodFile", QString::fromStdWString(name));
    if (!name.empty())
        generatePresetFromDialog(name.c_str(), nullptr);
    else
        KLOG->info("printer name: {} does not exist...", QString::fromStdWString(name));
}

bool CPrinter::generatePresetFromDialog(const wchar_t* printerName, HWND parent)
{
    const std::wstring name = printerName ? printerName : L"";
    std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(name);
    if (!printer)
        return false;
    DevModeBuffer edited;
    if (!readCurrentDevMode(*printer, &edited))
        return false;
    if (!printer->promptDevMode(parent, &edited)) {
        KLOG->info("user cancelled saving config file...");
        return false;
    }
    if (!printer->validateDevMode(&edited))
        return false;
    printer.reset();
    const QString folder = config->tempFolder();
    const QString txtPath = folder + kGeneratedName + QStringLiteral(".txt");
    const QString datPath = folder + kGeneratedName + QStringLiteral(".dat");
    if (!writePresetFiles(QString::fromStdWString(name), edited, txtPath, datPath)) {
        KLOG->error("saving config file failed. printerName={}, txtPath={}, datPath={}", QString::fromStdWString(name),
                    txtPath, datPath);
        return false;
    }
    KLOG->info("user saved new config file...");
    return true;
}

bool CPrinter::writePresetFiles(QString printerName, const DevModeBuffer& devModeBlock, QString txtPath,
                                QString datPath)
{
    const DEVMODEW* dm = devModeBlock.get();
    if (!dm)
        return false;
    std::unique_ptr<SpoolerPrinter> printer = spooler->openPrinter(printerName.toStdWString());
    PrinterInfo info;
    if (!printer || !printer->info(&info))
        return false;

    QJsonObject description;
    description.insert(QStringLiteral("printerName"), printerName);
    description.insert(QStringLiteral("driverName"), QString::fromStdWString(info.driverName));
    description.insert(QStringLiteral("portName"), QString::fromStdWString(info.portName));
    description.insert(QStringLiteral("dmSize"), int(dm->dmSize));
    description.insert(QStringLiteral("dmDriverExtra"), int(dm->dmDriverExtra));
    description.insert(QStringLiteral("dmFields"), qint64(dm->dmFields));
    const auto put = [&](std::uint32_t bit, const char* key, int value) {
        if (dm->dmFields & bit)
            description.insert(QLatin1String(key), value);
    };
    put(DM_ORIENTATION, "dmOrientation", dm->dmOrientation);
    if (dm->dmFields & DM_PAPERSIZE) {
        description.insert(QStringLiteral("dmPaperSize"), int(dm->dmPaperSize));
        description.insert(QStringLiteral("dmPaperName"), choiceName(printer->papers(devModeBlock), dm->dmPaperSize));
    }
    put(DM_PAPERLENGTH, "dmPaperLength", dm->dmPaperLength);
    put(DM_PAPERWIDTH, "dmPaperWidth", dm->dmPaperWidth);
    put(DM_SCALE, "dmScale", dm->dmScale);
    put(DM_COPIES, "dmCopies", dm->dmCopies);
    if (dm->dmFields & DM_DEFAULTSOURCE) {
        description.insert(QStringLiteral("dmDefaultSource"), int(dm->dmDefaultSource));
        description.insert(QStringLiteral("dmDefaultSourceName"),
                           choiceName(printer->bins(devModeBlock), dm->dmDefaultSource));
    }
    put(DM_PRINTQUALITY, "dmPrintQuality", dm->dmPrintQuality);
    put(DM_COLOR, "dmColor", dm->dmColor);
    put(DM_DUPLEX, "dmDuplex", dm->dmDuplex);
    put(DM_YRESOLUTION, "dmYResolution", dm->dmYResolution);
    put(DM_TTOPTION, "dmTTOption", dm->dmTTOption);
    put(DM_COLLATE, "dmCollate", dm->dmCollate);
    if (dm->dmFields & DM_FORMNAME)
        description.insert(QStringLiteral("dmFormName"), fixedName(dm->dmFormName));
    put(DM_MEDIATYPE, "dmMediaType", int(dm->dmMediaType));
    put(DM_DITHERTYPE, "dmDitherType", int(dm->dmDitherType));
    put(DM_NUP, "dmNup", int(dm->dmNup));
    printer.reset();

    QFile txt(txtPath);
    if (!txt.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    txt.write(QJsonDocument(description).toJson(QJsonDocument::Indented));
    txt.close();

    QFile dat(datPath);
    if (!dat.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    const std::size_t length = std::min(devModeBlock.declaredSize(), devModeBlock.size());
    dat.write(reinterpret_cast<const char*>(devModeBlock.data()), qint64(length));
    return dat.flush();
}
