#include "devtoolsclient.h"

bool DevToolsClient::open(const std::string& url, EventHandler events, ClosedHandler closed, int timeoutMs,
                          std::string& error)
{
    onEvent = std::move(events);
    return connection.open(
        url, [this](std::string message) { receive(message); }, std::move(closed), timeoutMs, error);
}

void DevToolsClient::close()
{
    connection.close();
    pendingReplies.clear();
}

void DevToolsClient::call(const std::string& method, Json params, const std::string& sessionId, ReplyHandler reply)
{
    // Numbered on the connection's thread, so ids follow the order the commands go out in.
    connection.post([this, method, params = std::move(params), sessionId, reply = std::move(reply)]() mutable {
        const int id = ++lastId;
        Json message {{"id", id}, {"method", method}, {"params", std::move(params)}};
        if (!sessionId.empty())
            message["sessionId"] = sessionId;
        if (reply)
            pendingReplies.emplace(id, std::move(reply));
        connection.send(message.dump());
    });
}

void DevToolsClient::receive(const std::string& message)
{
    const Json parsed = Json::parse(message, nullptr, false);
    if (!parsed.is_object())
        return;
    const std::string sessionId = text(parsed, "sessionId");
    const auto id = parsed.find("id");
    if (id == parsed.end()) {
        if (onEvent)
            onEvent(text(parsed, "method"), member(parsed, "params"), sessionId);
        return;
    }
    if (!id->is_number_integer())
        return;
    const auto pending = pendingReplies.find(id->get<int>());
    if (pending == pendingReplies.end())
        return;
    const ReplyHandler handler = std::move(pending->second);
    pendingReplies.erase(pending);
    Reply reply;
    const auto error = parsed.find("error");
    reply.ok = error == parsed.end();
    if (reply.ok)
        reply.result = member(parsed, "result");
    else
        reply.error = error->is_object() && !text(*error, "message").empty() ? text(*error, "message") : "error";
    handler(reply);
}

std::string DevToolsClient::text(const Json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double DevToolsClient::number(const Json& object, const char* key)
{
    const auto found = object.find(key);
    return found != object.end() && found->is_number() ? found->get<double>() : 0.0;
}

const DevToolsClient::Json& DevToolsClient::member(const Json& object, const char* key)
{
    static const Json empty = Json::object();
    const auto found = object.find(key);
    return found != object.end() && found->is_object() ? *found : empty;
}
