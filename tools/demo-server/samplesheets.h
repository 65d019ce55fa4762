#pragma once

#include <QJsonArray>
#include <QString>

// Answer sheets to print: DIR/samples/sheet-<n>.jpg, drawn once when missing, so the console's
// print forms have images that download from this server.
namespace SampleSheets {

inline constexpr int kCount = 4;

// Draws the missing sheets; false when the folder cannot be written.
bool ensure(const QString& dataFolder);

QString folder(const QString& dataFolder);

// [{"name", "url"}] of every sheet, addresses relative to the server.
QJsonArray list();

} // namespace SampleSheets
