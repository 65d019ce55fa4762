#include "command/credentials.h"

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
        headers.remove(QStringLiteral("Cookie"));
    else
        headers.insert(QStringLiteral("Cookie"), cookie);
}
