// Linux: a thread's scheduling policy and nice value are its own (set on its thread id).
#include "foundation/backgroundwork.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace KELBackgroundWork {

void markThisThread()
{
    thread_local bool marked = false;
    if (marked)
        return;
    marked = true;
    const auto thread = pid_t(syscall(SYS_gettid));
    // A nice value alone does not let a waking thread take the core: the scheduler lets the
    // running encoder finish its slice (up to a timer tick), and with every core encoding, each
    // reply waited that long. A thread of the idle class gives way as soon as another one
    // wakes, as a below-normal thread does on Windows; where the class is refused, nice is the
    // next best.
    sched_param param{};
    if (sched_setscheduler(thread, SCHED_IDLE, &param) != 0) {
        constexpr int kBackgroundNice = 10;
        setpriority(PRIO_PROCESS, id_t(thread), kBackgroundNice);
    }
}

} // namespace KELBackgroundWork
