#pragma once

#include <functional>

// Ending the server from the terminal (Ctrl+C) or a supervisor (SIGTERM) without work in a
// signal handler: the signal is taken by a thread of its own, which then calls `onSignal`.
namespace ShutdownSignal {

// Call before any other thread starts: threads started later inherit the blocked signals.
void install(std::function<void()> onSignal);

} // namespace ShutdownSignal
