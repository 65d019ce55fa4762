#include "command/credentials.h"

#include "command/originpolicy.h"

namespace {
const QString kCookie = QStringLiteral("Cookie");
}

QString cookieHeaderFrom(const KELCredentials& credentials)
{
    QString cookie;
    for (const auto& [name, value] : credentials)
        cookie += name + QLatin1Char('=') + value + QLatin1Char(';');
    return cookie;
}

void setCookieHeader(QMap<QString, QString>& headers, const KELCredentials& credentials)
{
    const QString cookie = cookieHeaderFrom(credentials);
    if (cookie.isEmpty())
        headers.remove(kCookie);
    else
        headers.insert(kCookie, cookie);
}

KELCookieScope::KELCookieScope(const QJsonArray& domains, const QString& loginOrigin)
    : origins(KELOriginPolicy::environmentOrigins(domains))
{
    // A page from the disk or a sandboxed frame has no server of its own.
    const QString page = KELOriginPolicy::normalise(loginOrigin, false);
    if (page.startsWith(QLatin1String("http://")) || page.startsWith(QLatin1String("https://")))
        origins.insert(page);
}

bool KELCookieScope::allows(const QString& url) const
{
    const QString origin = KELOriginPolicy::normalise(url, true);
    return !origin.isEmpty() && origins.contains(origin);
}

QMap<QString, QString> KELCookieScope::headersFor(QMap<QString, QString> headers, const QString& url) const
{
    if (!allows(url))
        headers.remove(kCookie);
    return headers;
}
