#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The answer to the agent's upgrade check. Without DIR/upgrade/offer.json there is no new
// version. With it, for example
//   {"version": "1.1.0", "package": "vellox-1.1.0.deb", "forceUpgrade": false,
//    "upgradeContent": ["Faster scanning"]}
// and the package beside it, an agent whose version is older is offered that package, with the
// package's SHA-256, its signature by the key in DIR/upgrade/signing-key.pem (made at the
// first offer, its public key beside it as signing-key.pub.pem) and an address under /upgrade/
// on this server.
class UpgradeOffer {
public:
    explicit UpgradeOffer(const QString& dataFolder);

    QString folder() const { return root; }
    QString signingKeyFile() const;

    // The check's answer for a request body {"appName", "currentVersion"}; `baseUrl` ends with
    // "/". False (and `reason` set) when the body is not such an object.
    bool answer(const QByteArray& requestBody, const QString& baseUrl, QJsonObject* answer,
                QString* reason) const;

    // True when dotted version `offered` is newer than `current` (numeric parts compared as
    // numbers, others as text; missing parts count as 0).
    static bool isNewer(const QString& offered, const QString& current);

private:
    QString root;
};
