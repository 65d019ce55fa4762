// Windows sets no per-process limit on open handles that a program could raise: nothing changes
// and nothing is known.
#include "foundation/filelimit.h"

namespace KELFileLimit {

Change raiseToHardLimit()
{
    return {};
}

} // namespace KELFileLimit
