#include "tlsstream.h"

#include "loopbacksocket.h"

#include <QFile>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace vtest {

namespace {

class PlainStream : public ByteStream {
public:
    explicit PlainStream(int fd) : fd(fd) {}
    long receive(char* buffer, long capacity) override { return socketio::receive(fd, buffer, capacity); }
    bool sendAll(const char* data, long size) override { return socketio::sendAll(fd, data, size); }

private:
    int fd;
};

class ClosedStream : public ByteStream {
public:
    long receive(char*, long) override { return 0; }
    bool sendAll(const char*, long) override { return false; }
};

class TlsStream : public ByteStream {
public:
    explicit TlsStream(SSL* ssl) : ssl(ssl) {}
    ~TlsStream() override
    {
        SSL_shutdown(ssl); // the socket itself is the server's to close
        SSL_free(ssl);
    }
    long receive(char* buffer, long capacity) override
    {
        const int got = SSL_read(ssl, buffer, int(capacity));
        return got > 0 ? got : (SSL_get_error(ssl, got) == SSL_ERROR_ZERO_RETURN ? 0 : -1);
    }
    bool sendAll(const char* data, long size) override
    {
        while (size > 0) {
            const int sent = SSL_write(ssl, data, int(size));
            if (sent <= 0)
                return false;
            data += sent;
            size -= sent;
        }
        return true;
    }

private:
    SSL* ssl;
};

} // namespace

std::unique_ptr<ByteStream> plainStream(int fd)
{
    return std::make_unique<PlainStream>(fd);
}

ByteStream& closedStream()
{
    static ClosedStream closed;
    return closed;
}

TlsContext::~TlsContext()
{
    SSL_CTX_free(context);
}

std::unique_ptr<TlsContext> TlsContext::load(const QString& certificateFile, const QString& keyFile)
{
    std::unique_ptr<TlsContext> tls(new TlsContext);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (context && SSL_CTX_use_certificate_chain_file(context, QFile::encodeName(certificateFile).constData()) == 1
        && SSL_CTX_use_PrivateKey_file(context, QFile::encodeName(keyFile).constData(), SSL_FILETYPE_PEM) == 1) {
        tls->context = context;
    } else {
        SSL_CTX_free(context);
    }
    return tls;
}

std::unique_ptr<ByteStream> TlsContext::accept(int fd)
{
    if (!context)
        return nullptr;
    SSL* ssl = SSL_new(context);
    if (!ssl)
        return nullptr;
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) != 1) {
        ERR_clear_error();
        SSL_free(ssl);
        return nullptr;
    }
    return std::make_unique<TlsStream>(ssl);
}

} // namespace vtest
