// Linux: a thread's nice value is its own (setpriority on its thread id).
#include "foundation/backgroundwork.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace KELBackgroundWork {

void markThisThread()
{
    constexpr int kBackgroundNice = 10;
    thread_local bool marked = false;
    if (marked)
        return;
    marked = true;
    setpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)), kBackgroundNice);
}

} // namespace KELBackgroundWork
