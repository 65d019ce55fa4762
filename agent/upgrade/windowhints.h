#pragma once

class QWidget;

namespace KELWindowHints {

// Asks the window manager to offer no way to close `window` (no close button or menu item):
// Qt's window flags cannot say so on X11, where a window without any of the close, minimise
// and maximise hints gets every function. Call after the flags are set and before it is shown.
void withoutCloseFunction(QWidget* window);

} // namespace KELWindowHints
