#include "printing/printlayout.h"

#include <algorithm>

PrinterModel PrinterModel::of(const QString& driverName, const QString& printerName)
{
    const bool byDriver = !driverName.isEmpty();
    const QString& text = byDriver ? driverName : printerName;
    const auto has = [&text](const char* marker) { return text.contains(QLatin1String(marker), Qt::CaseSensitive); };
    PrinterModel model;
    model.canonIrAdv = has(byDriver ? "Canon Office XPS Class Driver" : "iR-ADV C3835");
    model.canonUfr = has("Canon Generic Plus UFR II");
    model.epsonEmC8100 = has("EPSON EM-C8100 Series");
    model.toshibaUniversal = has("TOSHIBA Universal Printer 2");
    return model;
}

PagePlacement placePage(int areaWidth, int areaHeight, int imageWidth, int imageHeight)
{
    PagePlacement placement;
    if (areaWidth <= 0 || areaHeight <= 0 || imageWidth <= 0 || imageHeight <= 0)
        return placement;
    const double scale = std::min(double(areaWidth) / imageWidth, double(areaHeight) / imageHeight);
    placement.width = int(imageWidth * scale);
    placement.height = int(imageHeight * scale);
    placement.x = (areaWidth - placement.width) / 2;
    placement.y = (areaHeight - placement.height) / 2;
    return placement;
}

QStringList documentPages(const QStringList& filePaths, const PrinterModel& model, bool partMode,
                          const QString& blankPage)
{
    QStringList pages = filePaths;
    if (pages.size() == 1 && (model.canonIrAdv || model.canonUfr) && partMode && !blankPage.isEmpty())
        pages.append(blankPage);
    return pages;
}

bool pagesTurned(const PrinterModel& model, bool partMode, bool rotate180)
{
    return (model.canonUfr || model.epsonEmC8100) && partMode && rotate180;
}
