#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace vtest {

// One answer of a plain HTTP exchange with a local server.
struct HttpResponse {
    int status = 0;          // 0: no answer (refused, reset or timed out)
    QByteArray contentType;
    QByteArray body;
};

// Synchronous HTTP for tests (Qt's network access, waiting with a deadline while processing
// events; redirects are not followed). Headers are sent as given, besides what Qt adds.
HttpResponse httpRequest(const QByteArray& method, const QString& url, const QByteArray& body = {},
                         const QList<QPair<QByteArray, QByteArray>>& headers = {}, int timeoutMs = 30000);

} // namespace vtest
