#include "httptestserver.h"

#include "loopbacksocket.h"
#include "tlsstream.h"

#include <QMap>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace vtest {

// ---- records and replies ----

QByteArray HttpRequestRecord::header(const QByteArray& name) const
{
    const QByteArrayList values = headerValues(name);
    return values.isEmpty() ? QByteArray() : values.front();
}

QByteArrayList HttpRequestRecord::headerValues(const QByteArray& name) const
{
    QByteArrayList values;
    for (const auto& entry : headers)
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            values.append(entry.second);
    return values;
}

bool HttpRequestRecord::hasHeader(const QByteArray& name) const
{
    return !headerValues(name).isEmpty();
}

QByteArrayList HttpRequestRecord::rawLines(const QByteArray& name) const
{
    QByteArrayList lines;
    for (const QByteArray& line : headerLines) {
        const int colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0)
            lines.append(line);
    }
    return lines;
}

HttpReply HttpReply::withStatus(int status, const QByteArray& body, const QByteArray& contentType)
{
    HttpReply reply;
    reply.status = status;
    reply.body = body;
    if (!contentType.isEmpty())
        reply.withHeader("Content-Type", contentType);
    return reply;
}

HttpReply& HttpReply::withHeader(const QByteArray& name, const QByteArray& value)
{
    headers.append({name, value});
    return *this;
}

HttpReply& HttpReply::delayed(int ms)
{
    delayMs = ms;
    return *this;
}

HttpReply& HttpReply::held()
{
    hold = true;
    return *this;
}

HttpReply& HttpReply::cut(Fault how, qint64 afterBodyBytes)
{
    fault = how;
    faultAfterBytes = afterBodyBytes;
    return *this;
}

HttpReply& HttpReply::trickled(int bytes, int everyMs)
{
    trickleBytes = bytes;
    trickleMs = everyMs;
    return *this;
}

QByteArray HttpReply::header(const QByteArray& name) const
{
    for (const auto& entry : headers)
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0)
            return entry.second;
    return {};
}

namespace {

const char* reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// Reads a connection's bytes on demand; keeps what arrived beyond the current request.
class ConnectionReader {
public:
    explicit ConnectionReader(ByteStream& stream) : stream(stream) {}

    // Up to and including the blank line; false when the peer closed first.
    bool readHead(QByteArray* head)
    {
        for (;;) {
            const int end = pending.indexOf("\r\n\r\n");
            if (end >= 0) {
                *head = pending.left(end + 4);
                pending.remove(0, end + 4);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    bool readExactly(qint64 count, QByteArray* out)
    {
        while (pending.size() < count)
            if (!fill())
                return false;
        out->append(pending.left(int(count)));
        pending.remove(0, int(count));
        return true;
    }

    bool readLine(QByteArray* line)
    {
        for (;;) {
            const int end = pending.indexOf("\r\n");
            if (end >= 0) {
                *line = pending.left(end);
                pending.remove(0, end + 2);
                return true;
            }
            if (!fill())
                return false;
        }
    }

    bool readChunkedBody(QByteArray* body)
    {
        for (;;) {
            QByteArray sizeLine;
            if (!readLine(&sizeLine))
                return false;
            bool ok = false;
            const qint64 size = sizeLine.split(';').front().trimmed().toLongLong(&ok, 16);
            if (!ok)
                return false;
            if (size == 0) {
                QByteArray trailer;
                do {
                    if (!readLine(&trailer))
                        return false;
                } while (!trailer.isEmpty());
                return true;
            }
            QByteArray crlf;
            if (!readExactly(size, body) || !readExactly(2, &crlf))
                return false;
        }
    }

private:
    bool fill()
    {
        char buffer[65536];
        const long got = stream.receive(buffer, sizeof buffer);
        if (got <= 0)
            return false;
        pending.append(buffer, int(got));
        return true;
    }

    ByteStream& stream;
    QByteArray pending;
};

bool parseHead(const QByteArray& head, HttpRequestRecord* record)
{
    QByteArrayList lines = head.left(head.size() - 4).split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QByteArrayList requestLine = lines.takeFirst().split(' ');
    if (requestLine.size() < 2)
        return false;
    record->method = requestLine[0];
    record->target = requestLine[1];
    const int query = record->target.indexOf('?');
    record->path = query < 0 ? record->target : record->target.left(query);
    for (const QByteArray& line : lines) {
        record->headerLines.append(line);
        const int colon = line.indexOf(':');
        if (colon > 0)
            record->headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    return true;
}

struct Route {
    HttpReply standing;
    HttpTestServer::Handler handler;
    bool hasStanding = false;
    std::deque<HttpReply> queued;
};

} // namespace

class HttpTestServer::Impl {
public:
    explicit Impl(std::unique_ptr<TlsContext> tlsContext = nullptr)
        : tls(std::move(tlsContext))
    {
        if (listener.listen())
            acceptThread = std::thread([this] { acceptLoop(); });
    }

    ~Impl()
    {
        {
            std::lock_guard<std::mutex> lock(mutex);
            stopping = true;
            for (int fd : openConnections)
                socketio::shutdownBoth(fd);
        }
        wakeUp.notify_all();
        listener.wake();
        if (acceptThread.joinable())
            acceptThread.join();
        // Connection threads are only added by the accept thread, which has ended.
        for (std::thread& thread : connectionThreads)
            thread.join();
        listener.close();
    }

    void acceptLoop()
    {
        for (;;) {
            const int fd = listener.accept();
            std::unique_lock<std::mutex> lock(mutex);
            if (fd < 0) {
                if (stopping)
                    return;
                if (paused) {
                    // Only this thread touches the listener while it may be in accept().
                    listener.close();
                    wakeUp.notify_all();
                    wakeUp.wait(lock, [this] { return stopping || !paused; });
                    if (stopping)
                        return;
                }
                continue;
            }
            if (stopping) {
                socketio::closeGracefully(fd);
                return;
            }
            ++connections;
            openConnections.insert(fd);
            connectionThreads.emplace_back([this, fd] { serveConnection(fd); });
        }
    }

    // How a connection goes on after an answer.
    enum class After { KeepOpen, Close, Reset };

    // The connection's thread alone closes its descriptor: the number may be reused by the
    // next accepted connection the moment it is closed.
    void serveConnection(int fd)
    {
        // Null for a client that gave up the TLS handshake.
        const std::unique_ptr<ByteStream> stream = tls ? tls->accept(fd) : plainStream(fd);
        After after = stream ? After::KeepOpen : After::Close;
        ConnectionReader reader(stream ? *stream : closedStream());
        while (after == After::KeepOpen) {
            HttpRequestRecord record;
            QByteArray head;
            if (!reader.readHead(&head) || !parseHead(head, &record))
                break;
            if (record.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0
                && !stream->sendAll("HTTP/1.1 100 Continue\r\n\r\n", 25))
                break;
            bool bodyRead = true;
            if (record.header("Transfer-Encoding").toLower().contains("chunked"))
                bodyRead = reader.readChunkedBody(&record.body);
            else if (const qint64 length = record.header("Content-Length").toLongLong(); length > 0)
                bodyRead = reader.readExactly(length, &record.body);
            if (!bodyRead)
                break;
            after = answer(*stream, record);
        }
        std::lock_guard<std::mutex> lock(mutex);
        openConnections.erase(fd);
        if (after == After::Reset)
            socketio::closeWithReset(fd);
        else
            socketio::closeGracefully(fd);
    }

    // Records the request, waits as the reply says and sends it.
    After answer(ByteStream& stream, const HttpRequestRecord& record)
    {
        const HttpReply reply = replyFor(record);
        waitBeforeAnswer(reply);

        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + ' '
                          + reasonPhrase(reply.status) + "\r\n";
        for (const auto& entry : reply.headers)
            head += entry.first + ": " + entry.second + "\r\n";
        if (reply.header("Content-Length").isNull())
            head += "Content-Length: " + QByteArray::number(reply.body.size()) + "\r\n";
        head += "\r\n";

        {
            std::lock_guard<std::mutex> lock(mutex);
            // No longer in flight before the client can see the answer, so that a request the
            // client sends in response never counts together with this one.
            --inFlightNow;
            if (stopping)
                return After::Close;
        }
        using Fault = HttpReply::Fault;
        switch (reply.fault) {
        case Fault::CloseWithoutAnswer:
            return After::Close;
        case Fault::ResetWithoutAnswer:
            return After::Reset;
        case Fault::CloseMidBody:
        case Fault::ResetMidBody: {
            const QByteArray part = reply.body.left(int(reply.faultAfterBytes));
            stream.sendAll(head.constData(), head.size());
            stream.sendAll(part.constData(), part.size());
            return reply.fault == Fault::ResetMidBody ? After::Reset : After::Close;
        }
        case Fault::None:
            break;
        }
        const bool sendBody = record.method != "HEAD";
        if (!stream.sendAll(head.constData(), head.size()))
            return After::Close;
        if (sendBody && reply.trickleBytes > 0) {
            for (int sent = 0; sent < reply.body.size(); sent += reply.trickleBytes) {
                const int piece = std::min(reply.trickleBytes, int(reply.body.size()) - sent);
                if (!stream.sendAll(reply.body.constData() + sent, piece))
                    return After::Close;
                std::unique_lock<std::mutex> lock(mutex);
                if (wakeUp.wait_for(lock, std::chrono::milliseconds(reply.trickleMs), [&] { return stopping; }))
                    return After::Close;
            }
        } else if (sendBody && !stream.sendAll(reply.body.constData(), reply.body.size())) {
            return After::Close;
        }
        if (record.header("Connection").compare("close", Qt::CaseInsensitive) == 0)
            return After::Close;
        return After::KeepOpen;
    }

    HttpReply replyFor(const HttpRequestRecord& record)
    {
        Handler handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            records.append(record);
            if (!recordBodies)
                records.last().body.clear();
            maxInFlightSeen = std::max(maxInFlightSeen, ++inFlightNow);
            auto found = routes.find(QString::fromUtf8(record.path));
            if (found == routes.end())
                return HttpReply::withStatus(404, "not found", "text/plain");
            Route& route = found->second;
            if (!route.queued.empty()) {
                HttpReply next = route.queued.front();
                route.queued.pop_front();
                return next;
            }
            if (route.hasStanding)
                return route.standing;
            handler = route.handler;
        }
        return handler ? handler(record) : HttpReply::withStatus(404, "not found", "text/plain");
    }

    void waitBeforeAnswer(const HttpReply& reply)
    {
        std::unique_lock<std::mutex> lock(mutex);
        if (reply.hold) {
            const quint64 ticket = nextTicket++;
            held.push_back(ticket);
            wakeUp.wait(lock, [&] { return stopping || !isHeld(ticket); });
            removeHeld(ticket);
        }
        if (reply.delayMs > 0)
            wakeUp.wait_for(lock, std::chrono::milliseconds(reply.delayMs), [&] { return stopping; });
    }

    bool isHeld(quint64 ticket) const
    {
        return std::find(held.begin(), held.end(), ticket) != held.end();
    }

    void removeHeld(quint64 ticket)
    {
        held.erase(std::remove(held.begin(), held.end(), ticket), held.end());
    }

    const std::unique_ptr<TlsContext> tls;
    LoopbackListener listener;
    quint16 listeningPort = 0;
    std::thread acceptThread;
    std::vector<std::thread> connectionThreads;

    mutable std::mutex mutex;
    std::condition_variable wakeUp;
    bool stopping = false;
    bool paused = false;
    bool recordBodies = true;
    std::set<int> openConnections;
    std::map<QString, Route> routes;
    QList<HttpRequestRecord> records;
    int connections = 0;
    int inFlightNow = 0;
    int maxInFlightSeen = 0;
    std::deque<quint64> held;
    quint64 nextTicket = 0;
};

HttpTestServer::HttpTestServer()
    : d(std::make_unique<Impl>())
{
    d->listeningPort = d->listener.port();
}

HttpTestServer::HttpTestServer(const TlsIdentity& identity)
    : d(std::make_unique<Impl>(TlsContext::load(identity.certificateFile, identity.keyFile)))
{
    d->listeningPort = d->listener.port();
}

HttpTestServer::~HttpTestServer() = default;

bool HttpTestServer::isListening() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->listener.isListening() && (!d->tls || d->tls->isValid());
}

quint16 HttpTestServer::port() const
{
    return d->listeningPort;
}

QString HttpTestServer::url(const QString& path) const
{
    const QString slash = path.startsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    const QString scheme = d->tls ? QStringLiteral("https") : QStringLiteral("http");
    return QStringLiteral("%1://127.0.0.1:%2%3%4").arg(scheme).arg(port()).arg(slash, path);
}

void HttpTestServer::serveFile(const QString& path, const QByteArray& content, Ranges ranges)
{
    handle(path, [content, ranges](const HttpRequestRecord& request) {
        return fileReply(content, request, ranges);
    });
}

void HttpTestServer::answer(const QString& path, const HttpReply& reply)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    Route& route = d->routes[path];
    route.standing = reply;
    route.hasStanding = true;
    route.handler = nullptr;
}

void HttpTestServer::answerNext(const QString& path, const HttpReply& reply)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->routes[path].queued.push_back(reply);
}

void HttpTestServer::handle(const QString& path, Handler handler)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    Route& route = d->routes[path];
    route.handler = std::move(handler);
    route.hasStanding = false;
}

HttpReply HttpTestServer::fileReply(const QByteArray& content, const HttpRequestRecord& request,
                                    Ranges ranges)
{
    const QByteArray range = request.header("Range").trimmed();
    const qint64 size = content.size();
    if (ranges == Ranges::Ignored || !range.startsWith("bytes=") || range.contains(','))
        return HttpReply::withStatus(200, content, "application/octet-stream");

    const QByteArray spec = range.mid(6);
    const int dash = spec.indexOf('-');
    bool firstOk = false;
    bool lastOk = false;
    qint64 first = spec.left(dash).toLongLong(&firstOk);
    qint64 last = spec.mid(dash + 1).toLongLong(&lastOk);
    if (dash < 0 || (!firstOk && !lastOk))
        return HttpReply::withStatus(200, content, "application/octet-stream");
    if (!firstOk) {  // "bytes=-N": the last N bytes
        first = std::max<qint64>(0, size - last);
        last = size - 1;
    } else if (!lastOk || last >= size) {
        last = size - 1;
    }
    if (first >= size || first > last)
        return HttpReply::withStatus(416).withHeader("Content-Range", "bytes */" + QByteArray::number(size));

    return HttpReply::withStatus(206, content.mid(int(first), int(last - first + 1)),
                                 "application/octet-stream")
        .withHeader("Accept-Ranges", "bytes")
        .withHeader("Content-Range", "bytes " + QByteArray::number(first) + '-'
                                         + QByteArray::number(last) + '/' + QByteArray::number(size));
}

void HttpTestServer::setRecordBodies(bool record)
{
    std::lock_guard<std::mutex> lock(d->mutex);
    d->recordBodies = record;
}

QList<HttpRequestRecord> HttpTestServer::requests() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->records;
}

QList<HttpRequestRecord> HttpTestServer::requests(const QString& path) const
{
    QList<HttpRequestRecord> matching;
    for (const HttpRequestRecord& record : requests())
        if (QString::fromUtf8(record.path) == path)
            matching.append(record);
    return matching;
}

int HttpTestServer::requestCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->records.size();
}

int HttpTestServer::requestCount(const QString& path) const
{
    return requests(path).size();
}

int HttpTestServer::connectionCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->connections;
}

int HttpTestServer::inFlight() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->inFlightNow;
}

int HttpTestServer::maxInFlight() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return d->maxInFlightSeen;
}

int HttpTestServer::heldCount() const
{
    std::lock_guard<std::mutex> lock(d->mutex);
    return int(d->held.size());
}

void HttpTestServer::releaseOne()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->held.empty())
            d->held.pop_front();
    }
    d->wakeUp.notify_all();
}

void HttpTestServer::releaseAll()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->held.clear();
    }
    d->wakeUp.notify_all();
}

void HttpTestServer::stopListening()
{
    std::unique_lock<std::mutex> lock(d->mutex);
    if (!d->acceptThread.joinable())
        return;
    d->paused = true;
    d->listener.wake();
    d->wakeUp.wait(lock, [this] { return !d->listener.isListening(); });
}

bool HttpTestServer::resumeListening()
{
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        if (!d->paused)
            return d->listener.isListening();
        // The accept thread waits for `paused` to clear and does not touch the listener now.
        if (!d->listener.listen(d->listeningPort))
            return false;
        d->paused = false;
    }
    d->wakeUp.notify_all();
    return true;
}

} // namespace vtest
