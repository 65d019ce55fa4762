#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Detached Ed25519 signatures of upgrade packages: the vendor signs a package's bytes with its
// private key; the agent accepts the package only when the signature verifies with one of the
// public keys installed beside the program. Plain C++; a build without a cryptography library
// has no verifier, and then accepts no signed package.
namespace KELPackageSignature {

constexpr std::size_t kSignatureBytes = 64;

// Whether this build can verify signatures.
bool isAvailable();

// Whether `pem` is an Ed25519 public key ("-----BEGIN PUBLIC KEY-----").
bool isUsableKey(const std::string& pem);

// Whether `signature` (64 bytes) signs the `size` bytes at `data` by one of `publicKeys` (PEM
// texts); keys that are not Ed25519 keys verify nothing.
bool verify(const unsigned char* data, std::size_t size, const std::string& signature,
            const std::vector<std::string>& publicKeys);

} // namespace KELPackageSignature
