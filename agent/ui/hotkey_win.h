#pragma once

// A system-wide key combination held by the calling thread: RegisterHotKey without a window, so
// each press arrives as a WM_HOTKEY thread message in that thread's queue. The first program
// to register a combination owns it; a later one is refused. Qt-free.

#include <windows.h>

namespace HotKey {

// The combination's id (> 0), or 0 with `error` set (ERROR_HOTKEY_ALREADY_REGISTERED when
// another program or thread holds it). `modifiers` are MOD_ flags; a held key does not repeat.
int registerForThread(UINT virtualKey, UINT modifiers, DWORD* error);
void unregisterForThread(int id);
// Whether `message` is a press of the combination `id`.
bool isPress(const MSG& message, int id);

} // namespace HotKey
