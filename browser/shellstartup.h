#pragma once

// The whole life of the shell process; returns its exit code.
int runShell(int argc, char** argv);

// The shell's built-in files (icon, pages) under ":/vellox-browser/"; the linker would drop them
// from the static library otherwise.
void initShellResources();
