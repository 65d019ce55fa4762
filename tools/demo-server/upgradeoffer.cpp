#include "upgradeoffer.h"

#include "packagesigner.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QStringList>
#include <QUrl>

#include <algorithm>
#include <cstdio>

namespace {

QJsonObject noNewVersion()
{
    return {{"code", 200}, {"msg", ""}, {"data", QJsonObject{{"hasNewVersion", false}}}};
}

QJsonObject offerProblem(const QString& text)
{
    std::fprintf(stderr, "vellox-demo-server: upgrade offer ignored: %s\n", qUtf8Printable(text));
    return {{"code", 500}, {"msg", text}, {"data", QJsonObject()}};
}

QString sha256Of(const QString& path)
{
    QFile file(path);
    QCryptographicHash digest(QCryptographicHash::Sha256);
    if (!file.open(QIODevice::ReadOnly) || !digest.addData(&file))
        return {};
    return QString::fromLatin1(digest.result().toHex());
}

} // namespace

UpgradeOffer::UpgradeOffer(const QString& dataFolder)
    : root(dataFolder + QStringLiteral("/upgrade"))
{
}

QString UpgradeOffer::signingKeyFile() const
{
    return root + QStringLiteral("/signing-key.pem");
}

bool UpgradeOffer::isNewer(const QString& offered, const QString& current)
{
    const QStringList a = offered.trimmed().split(QLatin1Char('.'));
    const QStringList b = current.trimmed().split(QLatin1Char('.'));
    for (int i = 0; i < std::max(a.size(), b.size()); ++i) {
        const QString x = i < a.size() ? a[i] : QStringLiteral("0");
        const QString y = i < b.size() ? b[i] : QStringLiteral("0");
        bool xNumeric = false;
        bool yNumeric = false;
        const qulonglong xn = x.toULongLong(&xNumeric);
        const qulonglong yn = y.toULongLong(&yNumeric);
        if (xNumeric && yNumeric) {
            if (xn != yn)
                return xn > yn;
        } else if (x != y) {
            return x > y;
        }
    }
    return false;
}

bool UpgradeOffer::answer(const QByteArray& requestBody, const QString& baseUrl, QJsonObject* answer,
                          QString* reason) const
{
    const QJsonDocument request = QJsonDocument::fromJson(requestBody);
    if (!request.isObject()) {
        *reason = QStringLiteral("the body must be a JSON object {\"appName\", \"currentVersion\"}");
        return false;
    }
    const QJsonValue currentVersion = request.object().value(QStringLiteral("currentVersion"));
    if (!currentVersion.isString()) {
        *reason = QStringLiteral("currentVersion is missing or not a text");
        return false;
    }

    const QString offerPath = root + QStringLiteral("/offer.json");
    if (!QFileInfo::exists(offerPath)) {
        *answer = noNewVersion();
        return true;
    }
    QFile offerFile(offerPath);
    if (!offerFile.open(QIODevice::ReadOnly)) {
        *answer = offerProblem(QStringLiteral("cannot read %1").arg(offerPath));
        return true;
    }
    const QJsonObject offer = QJsonDocument::fromJson(offerFile.readAll()).object();
    const QString version = offer.value(QStringLiteral("version")).toString();
    const QString package = offer.value(QStringLiteral("package")).toString();
    if (version.isEmpty() || package.isEmpty() || package.contains(QLatin1Char('/'))
        || package.startsWith(QLatin1Char('.'))) {
        *answer = offerProblem(QStringLiteral("%1 needs a \"version\" and a \"package\" file name").arg(offerPath));
        return true;
    }
    const QString packagePath = root + QLatin1Char('/') + package;
    if (!QFileInfo(packagePath).isFile()) {
        *answer = offerProblem(QStringLiteral("the package %1 is missing").arg(packagePath));
        return true;
    }
    if (!isNewer(version, currentVersion.toString())) {
        *answer = noNewVersion();
        return true;
    }
    // Signed with the demo's own key, so an agent that holds its public key (copied into the
    // program folder's upgrade-keys/) takes the offer as a site's agent takes its vendor's.
    const std::unique_ptr<PackageSigner> signer = PackageSigner::loadOrCreate(signingKeyFile());
    if (!signer->isValid()) {
        *answer = offerProblem(QStringLiteral("cannot read or make the signing key %1").arg(signingKeyFile()));
        return true;
    }
    QJsonObject data{{"hasNewVersion", true},
                     {"version", version},
                     {"downloadUrl", baseUrl + QStringLiteral("upgrade/")
                                         + QString::fromLatin1(QUrl::toPercentEncoding(package))},
                     {"fileHash", sha256Of(packagePath)},
                     {"signature", signer->signFile(packagePath)},
                     {"forceUpgrade", offer.value(QStringLiteral("forceUpgrade")).toBool()},
                     {"upgradeContent", offer.value(QStringLiteral("upgradeContent")).toArray()}};
    *answer = QJsonObject{{"code", 200}, {"msg", ""}, {"data", data}};
    return true;
}
