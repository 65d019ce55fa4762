#include "command/originpolicy.h"

#include <QJsonObject>
#include <QStringList>
#include <QUrl>

namespace {
const QString kFileOrigin = QStringLiteral("file://");
const QString kNullOrigin = QStringLiteral("null");

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("http") || scheme == QLatin1String("ws"))
        return 80;
    if (scheme == QLatin1String("https") || scheme == QLatin1String("wss"))
        return 443;
    return -1;
}

bool isLoopbackWebOrigin(const QUrl& url)
{
    const QString scheme = url.scheme();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        return false;
    const QString host = url.host();
    return host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1")
        || host == QLatin1String("::1");
}
} // namespace

KELOriginPolicy::KELOriginPolicy(const QJsonArray& domains, const QString& allowedOriginsSetting)
    : accepted(environmentOrigins(domains))
{
    for (const QString& item : allowedOriginsSetting.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString listed = item.trimmed();
        if (listed == QLatin1String("*")) {
            acceptAll = true;
            continue;
        }
        const QString origin = normalise(listed, true);
        if (!origin.isEmpty())
            accepted.insert(origin);
    }
}

bool KELOriginPolicy::allows(const QString& origin, bool peerIsLoopback) const
{
    if (origin.isEmpty())
        return peerIsLoopback;
    if (acceptAll)
        return true;
    const QString normalised = normalise(origin, false);
    if (normalised.isEmpty())
        return false;
    if (accepted.contains(normalised))
        return true;
    return peerIsLoopback && (normalised == kFileOrigin || isLoopbackWebOrigin(QUrl(normalised)));
}

QSet<QString> KELOriginPolicy::environmentOrigins(const QJsonArray& domains)
{
    QSet<QString> origins;
    for (const QJsonValue& entry : domains) {
        const QString origin = normalise(entry.toObject().value(QStringLiteral("url")).toString(), true);
        if (!origin.isEmpty())
            origins.insert(origin);
    }
    return origins;
}

QString KELOriginPolicy::normalise(const QString& text, bool allowPath)
{
    const QString trimmed = text.trimmed();
    if (trimmed.compare(kFileOrigin, Qt::CaseInsensitive) == 0)
        return kFileOrigin;
    if (trimmed == kNullOrigin)
        return kNullOrigin;

    const QUrl url(trimmed, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return {};
    // A browser's Origin header is scheme, host and port only; anything more is not an origin.
    if (!allowPath && (!url.userInfo().isEmpty() || !url.path().isEmpty() || url.hasQuery()
                       || url.hasFragment()))
        return {};

    const QString scheme = url.scheme().toLower(); // QUrl already lowers the host
    const int port = url.port(defaultPort(scheme));
    QString host = url.host();
    if (host.contains(QLatin1Char(':')))
        host = QLatin1Char('[') + host + QLatin1Char(']');
    QString origin = scheme + QStringLiteral("://") + host;
    if (port >= 0)
        origin += QLatin1Char(':') + QString::number(port);
    return origin;
}
