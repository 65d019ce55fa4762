#pragma once

// The vendor's side of package signatures, for tests: the demo server's signer with a key made
// on the spot, and its public key as the PEM file the package installs.
#include "packagesigner.h"

#include <QFile>
#include <QString>

namespace upgradetest {

class SigningKey : public PackageSigner {
public:
    bool writePublicKey(const QString& path) const
    {
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(publicPem()) > 0;
    }
};

} // namespace upgradetest
