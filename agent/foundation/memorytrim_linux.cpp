// Linux: glibc keeps freed heap memory in its arenas; malloc_trim hands it back.
#include "foundation/memorytrim.h"

#include <malloc.h>

namespace KELMemory {

void reusePageBuffers()
{
    // Fixed thresholds also end glibc's own adjustment of them.
    constexpr int kMmapThreshold = 128 << 20;
    constexpr int kTrimThreshold = 512 << 20;
    mallopt(M_MMAP_THRESHOLD, kMmapThreshold);
    mallopt(M_TRIM_THRESHOLD, kTrimThreshold);
}

void returnFreedMemory()
{
    malloc_trim(0);
}

} // namespace KELMemory
