#pragma once

#include "upgrade/packagekind.h"

#include <QString>

// What an offered package is and where it is kept; pure rules, no I/O.
namespace KELUpgradePackage {

// Known by the extension of the download URL's path (query ignored, any case).
Kind kindOfUrl(const QString& url);
// The extension the package file gets, in its usual spelling (".AppImage"); empty for Unknown.
QString extension(Kind kind);
// The server's version as part of a file name: letters, digits, '.', '-' and '_' are kept,
// anything else becomes '_'.
QString safeVersion(const QString& version);
// "package_" + safe version + "_" + the hash's first 8 digits + extension, inside `folder`
// (which ends with a slash): a version offered again with another hash is another file.
QString filePath(const QString& folder, const QString& version, const QString& hash, Kind kind);
// 64 hexadecimal digits, any case: the only hash an offer may carry.
bool isSha256Hex(const QString& hash);

// Where an upgrade may come from: https, or plain http to this computer's own loopback (a
// demo server, a test). Anyone between the PC and a plain http server could offer a package.
bool isTrustedAddress(const QString& url);

// A package the server offers.
struct Offer {
    QString version;
    QString url;
    QString hash;      // SHA-256, hexadecimal
    QString signature; // base64 of a detached Ed25519 signature of the package's bytes
    // One offer differs from another in any of these.
    QString identity() const;
};

// Why an offer is not taken before anything is fetched.
enum class Refusal {
    None,
    UntrustedAddress,  // the package would come over plain http
    UnsupportedKind,   // no installer for it on this system
    NoHash,            // no 64-digit SHA-256
    NoSignature,       // upgrade keys are installed and the offer carries no signature
    NoVerifier,        // upgrade keys are installed and this build cannot verify signatures
};
Refusal refusalOf(const Offer& offer, bool kindSupported, bool keysInstalled, bool verifierAvailable);
// For the log, in English.
const char* explanation(Refusal refusal);
// The signature's 64 bytes; empty when `signature` is not base64 of 64 bytes.
QByteArray signatureBytes(const QString& signature);

} // namespace KELUpgradePackage
