#pragma once

// The browser shell's window as another program reaches it on Windows: found by its class
// "VelloxBrowserWindow", enabled and disabled with EnableWindow, brought to the front with
// WM_APP + 1, asked with WM_APP + 3 whether its browser is in front and told with WM_APP + 2 to
// open its environment menu. Each call looks the window up afresh: a shell that does not run
// has none. Qt-free.

#include <functional>

namespace ShellWindowLink {

// Shown and not minimised.
bool isVisible();
void setEnabled(bool enabled);
// Restores, shows, raises and focuses it (the shell does that on WM_APP + 1).
void activate();
// When the shell's browser is in front, has the shell open its environment menu and answers
// true; false otherwise. The shell's answer comes from the calling thread's message loop, never
// by waiting for the shell; without a shell the answer is given at once.
void offerEnvironmentMenu(std::function<void(bool taken)> answer);

} // namespace ShellWindowLink
