// A build without a cryptography library: nothing verifies, so where keys are installed no
// package is accepted.
#include "upgrade/packagesignature.h"

namespace KELPackageSignature {

bool isAvailable()
{
    return false;
}

bool isUsableKey(const std::string&)
{
    return false;
}

bool verify(const unsigned char*, std::size_t, const std::string&, const std::vector<std::string>&)
{
    return false;
}

} // namespace KELPackageSignature
