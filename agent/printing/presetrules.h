#pragma once

#include "printing/printlayout.h"

#include "printing/printspooler.h"

#include <QMap>
#include <QString>

#include <vector>

// Which preset file configures a preset printer model for one print configuration
// ({"size": "A3" | "A4" | "8K" | "16K", "type": "part" | …}), and how its pages are printed.
struct PresetChoice {
    bool available = false; // false: no preset model, or an empty configuration
    QString folder;         // under the install folder, e.g. "devmode/canon-UFR/"
    QString fileName;       // e.g. "extension_A4_2Tray.dat"
    bool twoTray = false;
    bool partMode = false;
    bool rotate180 = false;

    QString relativePath() const { return folder + fileName; }
};

PresetChoice choosePreset(const PrinterModel& model, int binCount, const QMap<QString, QString>& printConfig);

// The model folder under "devmode/", empty for printers without presets.
QString presetModelFolder(const PrinterModel& model);

// The driver's paper for the Chinese sizes "8K" (270 × 390 mm) and "16K" (195 × 270 mm), which
// have no Windows paper id: the paper nearest that size (either way round, within 12 mm), else
// one whose name says "8K" / "16K" (also the Japanese "pa-kai" / "juuro-ku-kai"); 0 when the
// printer has none, or for any other size.
int kaiPaperId(const std::vector<PrinterChoice>& papers, const QString& size);
