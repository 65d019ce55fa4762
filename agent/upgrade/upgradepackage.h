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
// "package_" + safe version + extension, inside `folder` (which ends with a slash).
QString filePath(const QString& folder, const QString& version, Kind kind);
// 64 hexadecimal digits, any case: the only hash an offer may carry.
bool isSha256Hex(const QString& hash);

} // namespace KELUpgradePackage
