#pragma once

#include <QString>

#include <memory>

struct ssl_ctx_st; // OpenSSL's SSL_CTX

namespace vtest {

// How the HTTP test server moves a connection's bytes: straight over the socket, or through TLS.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Bytes read (0: the peer closed, -1: error).
    virtual long receive(char* buffer, long capacity) = 0;
    virtual bool sendAll(const char* data, long size) = 0;
};

std::unique_ptr<ByteStream> plainStream(int fd);
// A stream that has ended: every read sees the peer's close.
ByteStream& closedStream();

// The server side of TLS (OpenSSL) with one certificate.
class TlsContext {
public:
    ~TlsContext();
    // Never null; not valid when the files cannot be loaded.
    static std::unique_ptr<TlsContext> load(const QString& certificateFile, const QString& keyFile);
    bool isValid() const { return context != nullptr; }
    // Runs the handshake on an accepted socket; null when it fails (the socket stays open).
    std::unique_ptr<ByteStream> accept(int fd);

private:
    TlsContext() = default;
    ssl_ctx_st* context = nullptr;
};

} // namespace vtest
