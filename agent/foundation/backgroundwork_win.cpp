// Windows: a thread's priority is its own (SetThreadPriority on the calling thread).
#include "foundation/backgroundwork.h"

#include <windows.h>

namespace KELBackgroundWork {

void markThisThread()
{
    thread_local bool marked = false;
    if (marked)
        return;
    marked = true;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
}

} // namespace KELBackgroundWork
