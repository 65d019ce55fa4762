#include "testcertificates.h"

#include <QFile>
#include <QProcess>

namespace vtest {

namespace {
// Elliptic-curve keys: made in milliseconds, where RSA keys take seconds on a busy machine.
const QStringList kNewKey {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
}

TestCertificates::TestCertificates()
{
    QFile extensions(dir.filePath("server.ext"));
    extensions.open(QIODevice::WriteOnly);
    extensions.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                     "basicConstraints=CA:FALSE\n"
                     "keyUsage=critical,digitalSignature\n"
                     "extendedKeyUsage=serverAuth\n");
    extensions.close();

    valid = openssl(QStringList {"req", "-x509"} + kNewKey
                    + QStringList {"-keyout", dir.filePath("ca.key"), "-out", caFile(), "-days", "2",
                                   "-subj", "/CN=Vellox Test CA",
                                   "-addext", "basicConstraints=critical,CA:TRUE",
                                   "-addext", "keyUsage=critical,keyCertSign,cRLSign"})
        && openssl(QStringList {"req"} + kNewKey
                   + QStringList {"-keyout", dir.filePath("server.key"), "-out", dir.filePath("server.csr"),
                                  "-subj", "/CN=127.0.0.1"})
        && openssl({"x509", "-req", "-in", dir.filePath("server.csr"), "-CA", caFile(), "-CAkey",
                    dir.filePath("ca.key"), "-CAcreateserial", "-out", dir.filePath("server.pem"),
                    "-days", "2", "-extfile", dir.filePath("server.ext")})
        && openssl(QStringList {"req", "-x509"} + kNewKey
                   + QStringList {"-keyout", dir.filePath("other.key"), "-out", dir.filePath("other.pem"),
                                  "-days", "2", "-subj", "/CN=other.example",
                                  "-addext", "subjectAltName=DNS:other.example"});
}

bool TestCertificates::openssl(const QStringList& arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start("openssl", arguments);
    const bool done = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
    if (!done)
        error += "openssl " + arguments.join(' ') + ": " + QString::fromLocal8Bit(process.readAll()) + '\n';
    return done;
}

HttpTestServer::TlsIdentity TestCertificates::signedForLoopback() const
{
    return {dir.filePath("server.pem"), dir.filePath("server.key")};
}

HttpTestServer::TlsIdentity TestCertificates::selfSignedForOtherName() const
{
    return {dir.filePath("other.pem"), dir.filePath("other.key")};
}

} // namespace vtest
