#pragma once

#include <functional>
#include <memory>
#include <string>

// One WebSocket connection to a browser's DevTools endpoint on loopback ("ws://127.0.0.1:port/…"),
// served by a thread of its own. Messages arrive whole, in order, on that thread; whatever
// is posted runs there too, so the code that drives the browser needs no locks of its own.
class DevToolsConnection {
public:
    using MessageHandler = std::function<void(std::string message)>;
    using ClosedHandler = std::function<void(const std::string& reason)>;

    DevToolsConnection();
    ~DevToolsConnection(); // closes and waits for the thread
    DevToolsConnection(const DevToolsConnection&) = delete;
    DevToolsConnection& operator=(const DevToolsConnection&) = delete;

    // Connects and waits up to `timeoutMs` for the handshake; false with `error` said when it
    // fails. `closed` is called once, on the connection's thread, when the browser closes the
    // connection or it breaks, and not when close() ends it.
    bool open(const std::string& url, MessageHandler message, ClosedHandler closed, int timeoutMs,
              std::string& error);
    // From any thread; dropped once the connection has closed.
    void send(std::string message);
    // Runs `task` on the connection's thread; dropped once the thread has ended.
    void post(std::function<void()> task);
    // Runs `task` on the connection's thread after `delayMs`.
    void postDelayed(int delayMs, std::function<void()> task);
    // Ends the connection and its thread; from any thread but the connection's own.
    void close();

private:
    struct Endpoint;
    std::unique_ptr<Endpoint> endpoint;
};
