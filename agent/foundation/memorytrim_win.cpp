// Windows: the heaps hand large blocks straight back to the system when they are freed; what
// can be returned besides is the free space at the heaps' ends.
#include "foundation/memorytrim.h"

#include <windows.h>

#include <malloc.h>

namespace KELMemory {

void reusePageBuffers()
{
    // The page buffers are served by the system's large-block path, which needs no tuning.
}

void returnFreedMemory()
{
    _heapmin(); // the C runtime's heap
    HeapCompact(GetProcessHeap(), 0);
}

} // namespace KELMemory
