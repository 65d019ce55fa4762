#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

namespace vtest {

// One request as the test server received it.
struct HttpRequestRecord {
    QByteArray method;
    QByteArray target;    // as on the request line, query included
    QByteArray path;      // the target without its query
    QByteArrayList headerLines;                    // raw, in the order sent
    QList<QPair<QByteArray, QByteArray>> headers;  // name as spelled, value trimmed
    QByteArray body;      // de-chunked when sent in chunks

    // First value of a header, name compared without regard to case; empty when absent.
    QByteArray header(const QByteArray& name) const;
    QByteArrayList headerValues(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // The raw lines of one header (name without regard to case), to check how they were spelled.
    QByteArrayList rawLines(const QByteArray& name) const;
};

// What the server does with one request.
struct HttpReply {
    enum class Fault {
        None,
        CloseMidBody,        // full Content-Length announced, `faultAfterBytes` of the body sent, closed
        ResetMidBody,        // the same, then reset
        CloseWithoutAnswer,  // closed after reading the request, nothing sent
        ResetWithoutAnswer,  // reset after reading the request, nothing sent
    };

    int status = 200;
    QByteArray body;
    // Header lines besides Content-Length, which is added unless given here.
    QList<QPair<QByteArray, QByteArray>> headers;
    int delayMs = 0;       // pause before answering (cut short when the server stops)
    bool hold = false;     // keep the request in flight until releaseOne()/releaseAll()
    Fault fault = Fault::None;
    qint64 faultAfterBytes = 0;
    int trickleBytes = 0;  // above 0: the body goes this many bytes at a time,
    int trickleMs = 0;     // one piece every this many milliseconds

    static HttpReply withStatus(int status, const QByteArray& body = {},
                                const QByteArray& contentType = {});
    HttpReply& withHeader(const QByteArray& name, const QByteArray& value);
    HttpReply& delayed(int ms);
    HttpReply& held();
    HttpReply& cut(Fault how, qint64 afterBodyBytes = 0);
    // A slow server: the body in pieces of `bytes` every `everyMs` (until the server stops).
    HttpReply& trickled(int bytes, int everyMs);
    QByteArray header(const QByteArray& name) const;
};

// A small HTTP/1.1 (or HTTPS) server on 127.0.0.1 at a free port, run by its own threads (one for accepting,
// one per connection), for tests of everything the agent sends to or fetches from a web server.
// Answers come from routes by path (query ignored): queued one-off answers first, then the
// path's standing answer, file or handler; anything else gets 404. Every request is recorded.
// All methods may be called from any thread.
class HttpTestServer {
public:
    using Handler = std::function<HttpReply(const HttpRequestRecord&)>;
    enum class Ranges { Supported, Ignored };

    // A certificate and its key, PEM files (see TestCertificates).
    struct TlsIdentity {
        QString certificateFile;
        QString keyFile;
    };

    HttpTestServer();   // already listening when constructed (see isListening())
    // The same server speaking HTTPS with `identity`; url() then begins with "https://".
    explicit HttpTestServer(const TlsIdentity& identity);
    ~HttpTestServer();  // stops, releasing held requests and cutting open connections
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    bool isListening() const;
    quint16 port() const;
    QString url(const QString& path = QStringLiteral("/")) const;

    // Routes. A path given again replaces its earlier standing answer.
    void serveFile(const QString& path, const QByteArray& content, Ranges ranges = Ranges::Supported);
    void answer(const QString& path, const HttpReply& reply);
    void answerNext(const QString& path, const HttpReply& reply);  // once, in the order queued
    // Runs on the connection's thread.
    void handle(const QString& path, Handler handler);

    // The answer a file server gives: 206 for a satisfiable "bytes=" range when ranges are
    // supported, 416 for an unsatisfiable one, else 200 with the whole content.
    static HttpReply fileReply(const QByteArray& content, const HttpRequestRecord& request,
                               Ranges ranges = Ranges::Supported);

    // Off: requests are recorded without their bodies (handlers still see them), for a server
    // that receives more than it should keep in memory.
    void setRecordBodies(bool record);

    // Requests received so far (complete request read), all or for one path.
    QList<HttpRequestRecord> requests() const;
    QList<HttpRequestRecord> requests(const QString& path) const;
    int requestCount() const;
    int requestCount(const QString& path) const;
    int connectionCount() const;

    // In flight: received and not yet answered (held and delayed requests included).
    int inFlight() const;
    int maxInFlight() const;
    int heldCount() const;
    void releaseOne();  // the oldest held request is answered
    void releaseAll();  // every request held now; later ones are held as their answer says

    // Refusing: connections are refused while not listening; listening resumes on the same port.
    void stopListening();
    bool resumeListening();

private:
    class Impl;
    std::unique_ptr<Impl> d;
};

} // namespace vtest
