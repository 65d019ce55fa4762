#pragma once

// A batch moves hundreds of megabytes of pages through the heap; the allocator keeps what was
// freed for later unless asked to give it back.
namespace KELMemory {

// Returns the heap's free memory to the system now (may take a few milliseconds).
void returnFreedMemory();
// The same on the global thread pool, so the caller's thread does not wait for it.
void returnFreedMemorySoon();

} // namespace KELMemory
