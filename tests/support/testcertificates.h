#pragma once

#include "httptestserver.h"

#include <QString>
#include <QTemporaryDir>

namespace vtest {

// Certificates made for a test by Debian's openssl, in a folder of their own: a CA, a server
// certificate it signed for 127.0.0.1 and localhost, and a self-signed one for another name.
class TestCertificates {
public:
    TestCertificates();
    // False when openssl failed; errorString() has its output.
    bool isValid() const { return valid; }
    QString errorString() const { return error; }

    QString caFile() const { return dir.filePath("ca.pem"); }
    HttpTestServer::TlsIdentity signedForLoopback() const;
    HttpTestServer::TlsIdentity selfSignedForOtherName() const;

private:
    bool openssl(const QStringList& arguments);

    QTemporaryDir dir;
    bool valid = false;
    QString error;
};

} // namespace vtest
