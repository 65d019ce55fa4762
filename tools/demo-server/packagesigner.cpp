#include "packagesigner.h"

#include <QFile>
#include <QFileInfo>

#include <openssl/evp.h>
#include <openssl/pem.h>

namespace {
QByteArray memoryText(BIO* memory)
{
    char* data = nullptr;
    const long size = BIO_get_mem_data(memory, &data);
    return QByteArray(data, int(size));
}
} // namespace

PackageSigner::PackageSigner()
    : key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"))
{
}

PackageSigner::PackageSigner(EVP_PKEY* key)
    : key(key)
{
}

PackageSigner::~PackageSigner()
{
    EVP_PKEY_free(key);
}

std::unique_ptr<PackageSigner> PackageSigner::loadOrCreate(const QString& privateKeyFile)
{
    QFile file(privateKeyFile);
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            return std::unique_ptr<PackageSigner>(new PackageSigner(nullptr));
        const QByteArray pem = file.readAll();
        BIO* text = BIO_new_mem_buf(pem.constData(), pem.size());
        EVP_PKEY* read = text ? PEM_read_bio_PrivateKey(text, nullptr, nullptr, nullptr) : nullptr;
        BIO_free(text);
        if (read && EVP_PKEY_id(read) != EVP_PKEY_ED25519) {
            EVP_PKEY_free(read);
            read = nullptr;
        }
        return std::unique_ptr<PackageSigner>(new PackageSigner(read));
    }
    auto made = std::make_unique<PackageSigner>();
    if (!made->isValid() || !file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)
        || file.write(made->privatePem()) <= 0)
        return std::unique_ptr<PackageSigner>(new PackageSigner(nullptr));
    file.close();
    const QFileInfo info(privateKeyFile);
    QFile publicFile(info.path() + QLatin1Char('/') + info.completeBaseName() + QStringLiteral(".pub.pem"));
    if (publicFile.open(QIODevice::WriteOnly))
        publicFile.write(made->publicPem());
    return made;
}

QByteArray PackageSigner::publicPem() const
{
    BIO* out = BIO_new(BIO_s_mem());
    if (!out || !key || PEM_write_bio_PUBKEY(out, key) != 1) {
        BIO_free(out);
        return {};
    }
    const QByteArray pem = memoryText(out);
    BIO_free(out);
    return pem;
}

QByteArray PackageSigner::privatePem() const
{
    BIO* out = BIO_new(BIO_s_mem());
    if (!out || !key || PEM_write_bio_PrivateKey(out, key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        BIO_free(out);
        return {};
    }
    const QByteArray pem = memoryText(out);
    BIO_free(out);
    return pem;
}

QString PackageSigner::sign(const QByteArray& bytes) const
{
    if (!key)
        return {};
    unsigned char signature[64];
    size_t size = sizeof signature;
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    // Ed25519 signs the message itself, in one call and without a digest of its own.
    const bool made = context && EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key) == 1
        && EVP_DigestSign(context, signature, &size, reinterpret_cast<const unsigned char*>(bytes.constData()),
                          size_t(bytes.size()))
            == 1;
    EVP_MD_CTX_free(context);
    return made ? QString::fromLatin1(QByteArray(reinterpret_cast<const char*>(signature), int(size)).toBase64())
                : QString();
}

QString PackageSigner::signFile(const QString& path) const
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? sign(file.readAll()) : QString();
}
