#pragma once

#include "devtoolsconnection.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <string>

// The DevTools protocol over one connection to a browser: commands with their replies, and
// events, each for the browser itself or for one attached target's session (flat sessions:
// the session id travels in the message). Everything is called back on the connection's thread.
class DevToolsClient {
public:
    using Json = nlohmann::json;

    struct Reply {
        bool ok = false;
        Json result;       // the command's result when ok
        std::string error; // the browser's message otherwise
    };
    using ReplyHandler = std::function<void(const Reply& reply)>;
    using EventHandler = std::function<void(const std::string& method, const Json& params, const std::string& sessionId)>;
    using ClosedHandler = std::function<void(const std::string& reason)>;

    // Connects to the browser's endpoint; false with `error` said when that fails.
    bool open(const std::string& url, EventHandler events, ClosedHandler closed, int timeoutMs, std::string& error);
    void close();

    // Sends a command; `reply`, when given, gets its answer (a command that is never answered
    // because the browser ends is never called back). An empty `sessionId` is the browser's.
    // Any thread.
    void call(const std::string& method, Json params = Json::object(), const std::string& sessionId = {},
              ReplyHandler reply = {});

    void post(std::function<void()> task) { connection.post(std::move(task)); }

    // Fields of a message, read without trusting its shape: empty, zero or an empty object
    // when `key` is missing or of another type.
    static std::string text(const Json& object, const char* key);
    static double number(const Json& object, const char* key);
    static const Json& member(const Json& object, const char* key);
    void postDelayed(int delayMs, std::function<void()> task) { connection.postDelayed(delayMs, std::move(task)); }

private:
    void receive(const std::string& message);

    DevToolsConnection connection;
    EventHandler onEvent;
    int lastId = 0;                            // on the connection's thread
    std::map<int, ReplyHandler> pendingReplies; // on the connection's thread
};
