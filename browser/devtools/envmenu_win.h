#pragma once

#include "shellconfig.h"

#include <windows.h>

#include <optional>
#include <vector>

// The environment menu: one item per environment in order, labelled by its name or else its
// key, shown centred on `around` (the browser's window) until the user picks one or dismisses
// it. The chosen environment's position; none when dismissed.
std::optional<size_t> chooseEnvironment(HWND owner, HWND around, const std::vector<ShellEnvironment>& environments);
