#pragma once

#include <QJsonArray>
#include <QMap>
#include <QSet>
#include <QString>

#include <map>

// The name/value pairs of a "login" command's "uploadCredentials", in name order. Uploading and
// both print managers send them to their servers as one "Cookie" header.
using KELCredentials = std::map<QString, QString>;

// "name=value;" for every pair in name order (the text ends with ";"); empty for no pairs.
QString cookieHeaderFrom(const KELCredentials& credentials);

// Sets the "Cookie" entry of a request's headers from the credentials; no credentials, no entry.
void setCookieHeader(QMap<QString, QString>& headers, const KELCredentials& credentials);

// The servers that may receive the cookie of a "login": the origins (scheme, host and port) of
// app.dat's environments and the origin of the page that logged in. Any other address gets the
// request without it: a second program on this PC that starts a scan to its own URL, or an image
// address on some other site, never sees the teacher's session. The port counts, so another
// program listening beside a school server on this PC's loopback is a stranger too, and so does
// the scheme, so the cookie never goes out unencrypted where the page was encrypted.
class KELCookieScope {
public:
    // Nowhere: requests go without the cookie.
    KELCookieScope() = default;
    // `domains` as app.dat lists them; `loginOrigin` the Origin header of the page that sent
    // "login" (empty for a program without one, which is then given the environments only).
    KELCookieScope(const QJsonArray& domains, const QString& loginOrigin);

    bool allows(const QString& url) const;
    // `headers` for a request to `url`: without "Cookie" when `url` is not one of the servers.
    QMap<QString, QString> headersFor(QMap<QString, QString> headers, const QString& url) const;

private:
    QSet<QString> origins;
};
