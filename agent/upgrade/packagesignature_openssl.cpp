// Verification through OpenSSL's libcrypto (EVP, which has Ed25519 since 1.1.1).
#include "upgrade/packagesignature.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace KELPackageSignature {

namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key ed25519Key(const std::string& pem)
{
    BIO* text = BIO_new_mem_buf(pem.data(), int(pem.size()));
    if (!text)
        return nullptr;
    Key key(PEM_read_bio_PUBKEY(text, nullptr, nullptr, nullptr));
    BIO_free(text);
    if (key && EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519)
        key.reset();
    return key;
}

bool verifiesWith(EVP_PKEY* key, const unsigned char* data, std::size_t size, const std::string& signature)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (!context)
        return false;
    // Ed25519 signs the message itself: no digest is named, and the data goes in one call.
    static const unsigned char empty = 0;
    const bool valid = EVP_DigestVerifyInit(context, nullptr, nullptr, nullptr, key) == 1
        && EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()), signature.size(),
                            data ? data : &empty, size)
            == 1;
    EVP_MD_CTX_free(context);
    return valid;
}

} // namespace

bool isAvailable()
{
    return true;
}

bool isUsableKey(const std::string& pem)
{
    return ed25519Key(pem) != nullptr;
}

bool verify(const unsigned char* data, std::size_t size, const std::string& signature,
            const std::vector<std::string>& publicKeys)
{
    if (signature.size() != kSignatureBytes)
        return false;
    for (const std::string& pem : publicKeys) {
        const Key key = ed25519Key(pem);
        if (key && verifiesWith(key.get(), data, size, signature))
            return true;
    }
    return false;
}

} // namespace KELPackageSignature
