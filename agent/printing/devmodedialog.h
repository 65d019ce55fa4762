#pragma once

#include "printing/devmode.h"
#include "printing/printspooler.h"

#include <QDialog>
#include <QString>

#include <vector>

class QComboBox;

// Printing preferences where the platform has no driver dialog of its own: paper, sides,
// colour and paper source of a device mode, offered from what the printer supports.
class DevModeDialog : public QDialog {
    Q_OBJECT
public:
    struct Choices {
        std::vector<PrinterChoice> papers;
        std::vector<PrinterChoice> bins;
        bool longEdge = false;
        bool shortEdge = false;
        bool color = false;
    };

    DevModeDialog(const QString& printerName, const Choices& choices, const DEVMODEW& devMode,
                  QWidget* parent = nullptr);

    // Writes the chosen values into the device mode and marks them as set.
    void applyTo(DEVMODEW* devMode) const;

    // Shows the dialog modally over `parent` (or none); true when confirmed.
    static bool edit(QWidget* parent, const QString& printerName, const Choices& choices, DevModeBuffer* devMode);

private:
    QComboBox* paperBox;
    QComboBox* sidesBox;
    QComboBox* colorBox;
    QComboBox* sourceBox;
};
