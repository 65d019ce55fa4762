#pragma once

#include <cstdint>

namespace vtest {

// The few socket calls the HTTP test server needs, on 127.0.0.1 only. Plain descriptors, so
// the server can end a connection exactly as a faulty peer would (close or reset).
class LoopbackListener {
public:
    LoopbackListener();
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    // Port 0 lets the system pick a free one.
    bool listen(std::uint16_t port = 0);
    bool isListening() const { return fd >= 0; }
    std::uint16_t port() const { return boundPort; }
    // Blocks until a client connects (its descriptor) or wake() is called (-1).
    int accept();
    // Makes a blocked or the next accept() return -1.
    void wake();
    void close();

private:
    int fd = -1;
    int wakeFds[2] = {-1, -1};
    std::uint16_t boundPort = 0;
};

namespace socketio {
// Bytes read (0: the peer closed, -1: error).
long receive(int fd, char* buffer, long capacity);
bool sendAll(int fd, const char* data, long size);
// Ends both directions so a thread blocked on the descriptor returns; the descriptor stays open.
void shutdownBoth(int fd);
void closeGracefully(int fd);
// Closes so that the peer sees a reset (RST) instead of an orderly end.
void closeWithReset(int fd);
} // namespace socketio

} // namespace vtest
