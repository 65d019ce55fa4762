#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

struct evp_pkey_st;

// The vendor's side of upgrade signatures: an Ed25519 key that signs packages (detached, over
// the package's bytes, base64 as an offer's "signature" carries it). The agent verifies them
// with the public key installed in its program folder's upgrade-keys/.
class PackageSigner {
public:
    // A new key.
    PackageSigner();
    ~PackageSigner();
    PackageSigner(const PackageSigner&) = delete;
    PackageSigner& operator=(const PackageSigner&) = delete;

    // The key in the PEM file `privateKeyFile`, made and written there (0600, with its public
    // key beside it as "<name>.pub.pem") when the file does not exist. Invalid when it cannot
    // be read or made.
    static std::unique_ptr<PackageSigner> loadOrCreate(const QString& privateKeyFile);

    bool isValid() const { return key != nullptr; }
    QByteArray publicPem() const;
    QByteArray privatePem() const;
    QString sign(const QByteArray& bytes) const;
    // Empty when the file cannot be read.
    QString signFile(const QString& path) const;

private:
    explicit PackageSigner(evp_pkey_st* key);

    evp_pkey_st* key;
};
