#pragma once

#include "printing/printlayout.h"

#include <QMap>
#include <QString>

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
