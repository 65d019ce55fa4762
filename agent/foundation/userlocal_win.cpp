// Windows: the names are the programs' own, as the other programs look them up (the agent's
// named pipe "kelmora-vellox", which the shell asks too): no folder of the user's is involved.
#include "foundation/userlocal.h"

namespace UserLocal {

std::string folder()
{
    return {};
}

std::string path(const std::string& name)
{
    return name;
}

} // namespace UserLocal
