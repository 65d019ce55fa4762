#include "printing/presetrules.h"

#include <QStringList>

namespace {
const QString kDefaultFile = QStringLiteral("default_A3.dat");
}

QString presetModelFolder(const PrinterModel& model)
{
    if (model.canonIrAdv)
        return QStringLiteral("canon-iR-ADV/");
    if (model.canonUfr)
        return QStringLiteral("canon-UFR/");
    if (model.toshibaUniversal)
        return QStringLiteral("lenovo-TOSHIBA/");
    if (model.epsonEmC8100)
        return QStringLiteral("Epson-EMC8100/");
    return QString();
}

PresetChoice choosePreset(const PrinterModel& model, int binCount, const QMap<QString, QString>& printConfig)
{
    PresetChoice choice;
    const QString modelFolder = presetModelFolder(model);
    if (modelFolder.isEmpty() || printConfig.isEmpty())
        return choice;
    choice.available = true;
    choice.folder = QStringLiteral("devmode/") + modelFolder;
    choice.fileName = kDefaultFile;

    const QString size = printConfig.value(QStringLiteral("size"));
    const bool part = printConfig.value(QStringLiteral("type")) == QLatin1String("part");
    choice.twoTray = binCount >= 1 && binCount <= 6 && (model.canonIrAdv || model.canonUfr) && part;
    static const QStringList kSizes = {QStringLiteral("A3"), QStringLiteral("A4"), QStringLiteral("8K"),
                                       QStringLiteral("16K")};
    if (kSizes.contains(size)) {
        if (!part)
            choice.fileName = QStringLiteral("default_%1.dat").arg(size);
        else if (choice.twoTray)
            choice.fileName = QStringLiteral("extension_%1_2Tray.dat").arg(size);
        else
            choice.fileName = QStringLiteral("extension_%1.dat").arg(size);
    }
    choice.partMode = part;
    if (model.canonUfr)
        choice.rotate180 = size == QLatin1String("A3") || size == QLatin1String("8K");
    else if (model.epsonEmC8100)
        choice.rotate180 = kSizes.contains(size);
    return choice;
}
