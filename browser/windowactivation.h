#pragma once

class QWidget;

// Brings a top-level window to the front with the keyboard focus (restored when minimised),
// even when another program has the focus now (the platform's part).
void bringToFront(QWidget* window);
