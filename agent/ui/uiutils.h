#pragma once

#include <QFont>
#include <QString>
#include <QStringList>

class QLabel;
class QWidget;

// Stateless helpers of the agent's windows.
namespace KELUi {

// Multi-file open dialog; starts in `startFolder` when it exists, else in Documents.
QStringList selectFiles(QWidget* parent, const QString& startFolder);
// Folder dialog; starts in Documents when `forceDefault` is set or `startFolder` does not exist.
QString selectFolder(QWidget* parent, bool forceDefault, const QString& startFolder);
// Shows, restores (to maximised when it was), raises and activates `window`.
void bringToFront(QWidget* window);
// `text` unchanged when it fits `maxWidth` pixels in `font`, else cut at the right with an ellipsis.
QString elidedTextWithMaxWidth(int maxWidth, QFont font, const QString& text);
// Shows `text` in `label` cut to `maxWidth` in the label's font at 12 pixels; the tooltip holds
// the full text when it was cut and is empty otherwise.
void setElidedText(QLabel* label, const QString& text, int maxWidth);
// Centres `window` in the available area of the screen under the mouse cursor.
void centerOnCursorScreen(QWidget* window);
// The local folder as a file URL for the desktop's file browser.
void openFolder(const QString& path);
// The name filter of selectFiles: "*.*" on Windows matches every name there, but hides names
// without a dot elsewhere.
QString allFilesFilter();
double scaleFactor();

} // namespace KELUi
