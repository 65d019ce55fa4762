#pragma once

// Threads that only do background work (the page encoders' own pool) are marked once: the
// scheduler then lets the GUI thread and the command server's thread run first when the
// cores are busy, so commands are answered at once during a fast batch.
namespace KELBackgroundWork {

// Marks the calling thread for the rest of its life; later calls do nothing.
void markThisThread();

} // namespace KELBackgroundWork
