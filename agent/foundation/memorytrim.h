#pragma once

// A batch moves hundreds of megabytes of pages through the heap; the allocator keeps what was
// freed for later unless asked to give it back.
namespace KELMemory {

// Every page is a buffer of tens of megabytes. Kept in the heap once freed, the next page's
// buffer reuses memory already mapped instead of faulting in fresh pages on the thread that
// takes the page from the driver. Call once at start; the end of a batch gives it back.
void reusePageBuffers();
// Returns the heap's free memory to the system now (may take a few milliseconds).
void returnFreedMemory();
// The same on the global thread pool, so the caller's thread does not wait for it.
void returnFreedMemorySoon();

} // namespace KELMemory
