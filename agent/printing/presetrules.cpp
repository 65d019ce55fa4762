#include "printing/presetrules.h"

#include <QRegularExpression>
#include <QStringList>

#include <cstdlib>
#include <limits>

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

int kaiPaperId(const std::vector<PrinterChoice>& papers, const QString& size)
{
    struct Kai {
        const char* size;
        int width; // tenths of a millimetre
        int height;
        const char* namePattern;
    };
    static const Kai kKai[] = {
        {"8K", 2700, 3900, "(^|[^0-9])8k|(^|[^-])pa-kai"},
        {"16K", 1950, 2700, "(^|[^0-9])16k|juuro-ku-kai"},
    };
    constexpr int kToleranceTenthsMm = 120;
    for (const Kai& kai : kKai) {
        if (size != QLatin1String(kai.size))
            continue;
        int bestId = 0;
        int bestDistance = std::numeric_limits<int>::max();
        for (const PrinterChoice& paper : papers) {
            if (paper.width <= 0 || paper.height <= 0)
                continue;
            const int shorter = std::min(paper.width, paper.height);
            const int longer = std::max(paper.width, paper.height);
            const int dx = std::abs(shorter - kai.width);
            const int dy = std::abs(longer - kai.height);
            if (dx <= kToleranceTenthsMm && dy <= kToleranceTenthsMm && dx + dy < bestDistance) {
                bestDistance = dx + dy;
                bestId = paper.id;
            }
        }
        if (bestId)
            return bestId;
        const QRegularExpression named(QLatin1String(kai.namePattern), QRegularExpression::CaseInsensitiveOption);
        for (const PrinterChoice& paper : papers) {
            if (named.match(QString::fromStdWString(paper.name)).hasMatch())
                return paper.id;
        }
    }
    return 0;
}
