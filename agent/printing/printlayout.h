#pragma once

#include <QString>
#include <QStringList>

// The arithmetic of a printed document, apart from any spooler.

// Which of the four printer models that need special handling a printer is. Each marker is
// looked for, case-sensitively, in the driver name, or in the printer name when the driver
// name is not known.
struct PrinterModel {
    bool canonIrAdv = false;
    bool canonUfr = false;
    bool epsonEmC8100 = false;
    bool toshibaUniversal = false;

    static PrinterModel of(const QString& driverName, const QString& printerName);
    bool usesPresets() const { return canonIrAdv || canonUfr || epsonEmC8100 || toshibaUniversal; }
};

// Where one image goes on the printable area: as large as fits, aspect kept, centred.
struct PagePlacement {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};
PagePlacement placePage(int areaWidth, int areaHeight, int imageWidth, int imageHeight);

// The pages of a document: the files in order, and on the Canon models a blank second page
// after a single page printed "part", so duplex units do not put the next student on its back.
// `blankPage` is the blank page's path, or empty when the file is not there.
QStringList documentPages(const QStringList& filePaths, const PrinterModel& model, bool partMode,
                          const QString& blankPage);

// Whether pages are drawn upside down (models whose "part" trays feed the paper turned).
bool pagesTurned(const PrinterModel& model, bool partMode, bool rotate180);
