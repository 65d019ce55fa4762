#pragma once

// The browser shell's window as another program reaches it on Windows: found by its class
// "VelloxBrowserWindow", enabled and disabled with EnableWindow, brought to the front with
// WM_APP + 1. Each call looks the window up afresh: a shell that does not run has none. Qt-free.

namespace ShellWindowLink {

// Shown and not minimised.
bool isVisible();
void setEnabled(bool enabled);
// Restores, shows, raises and focuses it (the shell does that on WM_APP + 1).
void activate();

} // namespace ShellWindowLink
