#include "upgrade/upgradepackage.h"

#include <QUrl>

namespace KELUpgradePackage {

Kind kindOfUrl(const QString& url)
{
    const QString path = QUrl(url).path();
    const auto endsWith = [&path](const char* suffix) {
        return path.endsWith(QLatin1String(suffix), Qt::CaseInsensitive);
    };
    if (endsWith(".sh"))
        return Kind::ShellScript;
    if (endsWith(".appimage"))
        return Kind::AppImage;
    if (endsWith(".deb"))
        return Kind::DebianPackage;
    if (endsWith(".exe"))
        return Kind::WindowsInstaller;
    return Kind::Unknown;
}

QString extension(Kind kind)
{
    switch (kind) {
    case Kind::ShellScript: return QStringLiteral(".sh");
    case Kind::AppImage: return QStringLiteral(".AppImage");
    case Kind::DebianPackage: return QStringLiteral(".deb");
    case Kind::WindowsInstaller: return QStringLiteral(".exe");
    case Kind::Unknown: break;
    }
    return QString();
}

QString safeVersion(const QString& version)
{
    QString safe = version;
    for (QChar& c : safe) {
        const ushort u = c.unicode();
        const bool kept = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9')
            || u == '.' || u == '-' || u == '_';
        if (!kept)
            c = QLatin1Char('_');
    }
    return safe;
}

QString filePath(const QString& folder, const QString& version, Kind kind)
{
    return folder + QStringLiteral("package_") + safeVersion(version) + extension(kind);
}

bool isSha256Hex(const QString& hash)
{
    if (hash.size() != 64)
        return false;
    for (const QChar c : hash) {
        const ushort u = c.unicode();
        if (!((u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F')))
            return false;
    }
    return true;
}

} // namespace KELUpgradePackage
