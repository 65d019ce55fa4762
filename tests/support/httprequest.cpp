#include "httprequest.h"

#include "wait.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace vtest {

HttpResponse httpRequest(const QByteArray& method, const QString& url, const QByteArray& body,
                         const QList<QPair<QByteArray, QByteArray>>& headers, int timeoutMs)
{
    QNetworkAccessManager network;
    QNetworkRequest request{QUrl(url)};
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    for (const auto& [name, value] : headers)
        request.setRawHeader(name, value);
    QNetworkReply* reply = network.sendCustomRequest(request, method, body);
    HttpResponse response;
    if (!waitUntil([reply] { return reply->isFinished(); }, timeoutMs)) {
        reply->abort();
        delete reply;
        return response;
    }
    response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    response.contentType = reply->rawHeader("Content-Type");
    response.body = reply->readAll();
    delete reply;
    return response;
}

} // namespace vtest
