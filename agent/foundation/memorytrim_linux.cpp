// Linux: glibc keeps freed heap memory in its arenas; malloc_trim hands it back.
#include "foundation/memorytrim.h"

#include <malloc.h>

namespace KELMemory {

void returnFreedMemory()
{
    malloc_trim(0);
}

} // namespace KELMemory
