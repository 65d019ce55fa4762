#include "foundation/filelimit.h"

#include <sys/resource.h>

namespace KELFileLimit {

Change raiseToHardLimit()
{
    Change change;
    rlimit limit {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return change;
    change.before = change.after = static_cast<long>(limit.rlim_cur);
    if (limit.rlim_cur == limit.rlim_max)
        return change;
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0)
        change.after = static_cast<long>(limit.rlim_cur);
    return change;
}

} // namespace KELFileLimit
