#pragma once

#include <QJsonArray>
#include <QSet>
#include <QString>

// Which web pages may open the command channel. A page can scan, print and send pages to any
// server through the agent, so a handshake is accepted only from a page the agent serves:
// - an origin of one of app.dat's environment URLs (scheme, host and port must all match);
// - every origin listed in the setting "allowedorigins" (comma separated; "*" accepts all);
// and, from a peer on this PC's loopback only:
// - no Origin header at all (native clients, not a browser page);
// - a page on the loopback host (localhost, 127.0.0.1, [::1]; http or https, any port);
// - "file://", a page opened from the local disk, as the embedded browser reports it.
// A page on another PC that calls its own localhost or file:// is not this PC's page.
// "null" (sandboxed frames) is refused unless listed.
class KELOriginPolicy {
public:
    KELOriginPolicy(const QJsonArray& domains, const QString& allowedOriginsSetting);

    bool allows(const QString& origin, bool peerIsLoopback) const;

    // "scheme://host:port" with the scheme's default port filled in; empty when `text` names
    // no origin. Paths of URLs are dropped; "file://" and "null" stand for themselves.
    static QString normalise(const QString& text, bool allowPath);
    // The origins of app.dat's environment URLs (entries without a usable "url" are left out).
    static QSet<QString> environmentOrigins(const QJsonArray& domains);

private:
    bool acceptAll = false;
    QSet<QString> accepted; // the environments' and the listed origins
};
