#include "upgrade/upgradepackage.h"

#include <QHostAddress>
#include <QUrl>

#include "upgrade/packagesignature.h"

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

QString filePath(const QString& folder, const QString& version, const QString& hash, Kind kind)
{
    return folder + QStringLiteral("package_") + safeVersion(version) + QLatin1Char('_')
        + safeVersion(hash.left(8).toLower()) + extension(kind);
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

bool isTrustedAddress(const QString& url)
{
    const QUrl address(url.trimmed());
    const QString scheme = address.scheme().toLower();
    if (scheme == QLatin1String("https"))
        return !address.host().isEmpty();
    if (scheme != QLatin1String("http"))
        return false;
    const QString host = address.host().toLower();
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

QString Offer::identity() const
{
    return version + QLatin1Char('\n') + url + QLatin1Char('\n') + hash.toLower() + QLatin1Char('\n') + signature;
}

QByteArray signatureBytes(const QString& signature)
{
    const auto decoded = QByteArray::fromBase64Encoding(signature.trimmed().toLatin1(),
                                                        QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != int(KELPackageSignature::kSignatureBytes))
        return QByteArray();
    return decoded.decoded;
}

Refusal refusalOf(const Offer& offer, bool kindSupported, bool keysInstalled, bool verifierAvailable)
{
    if (!isTrustedAddress(offer.url))
        return Refusal::UntrustedAddress;
    if (!kindSupported)
        return Refusal::UnsupportedKind;
    if (!isSha256Hex(offer.hash))
        return Refusal::NoHash;
    if (keysInstalled && !verifierAvailable)
        return Refusal::NoVerifier;
    if (keysInstalled && signatureBytes(offer.signature).isEmpty())
        return Refusal::NoSignature;
    return Refusal::None;
}

const char* explanation(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None: return "";
    case Refusal::UntrustedAddress: return "its package would come over plain http, which anyone on the way could replace";
    case Refusal::UnsupportedKind: return "its package cannot be installed here";
    case Refusal::NoHash: return "its SHA256 is not 64 hexadecimal digits";
    case Refusal::NoSignature: return "it carries no valid signature, and this installation accepts only signed packages";
    case Refusal::NoVerifier: return "this build cannot verify the signatures this installation requires";
    }
    return "";
}

} // namespace KELUpgradePackage
