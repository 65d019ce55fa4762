// The only translation unit of the shell that includes websocketpp and asio: they dominate
// build time.
#include "devtoolsconnection.h"

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_no_tls_client.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
using Client = websocketpp::client<websocketpp::config::asio_client>;
using ErrorCode = websocketpp::lib::error_code;

// A browser's replies can be large (a page's whole DOM, a cookie jar); none comes near this.
constexpr size_t kMaxMessageBytes = 256 * 1024 * 1024;
constexpr int kCloseHandshakeMs = 1000;
} // namespace

struct DevToolsConnection::Endpoint {
    enum class State { Connecting, Open, Failed, Closed };

    Client client;
    websocketpp::connection_hdl connection;
    std::thread thread;
    std::mutex mutex;
    std::condition_variable changed;
    State state = State::Connecting; // under mutex
    std::string failure;              // under mutex
    bool closing = false;             // under mutex: close() was called
    MessageHandler onMessage;
    ClosedHandler onClosed;

    void setState(State next, const std::string& why = {})
    {
        const std::lock_guard<std::mutex> locked(mutex);
        state = next;
        if (!why.empty())
            failure = why;
        changed.notify_all();
    }

    bool isClosing()
    {
        const std::lock_guard<std::mutex> locked(mutex);
        return closing;
    }
};

DevToolsConnection::DevToolsConnection() = default;

DevToolsConnection::~DevToolsConnection()
{
    close();
}

bool DevToolsConnection::open(const std::string& url, MessageHandler message, ClosedHandler closed, int timeoutMs,
                              std::string& error)
{
    close();
    endpoint = std::make_unique<Endpoint>();
    Endpoint& e = *endpoint;
    e.onMessage = std::move(message);
    e.onClosed = std::move(closed);

    Client& client = e.client;
    client.clear_access_channels(websocketpp::log::alevel::all);
    client.clear_error_channels(websocketpp::log::elevel::all);
    ErrorCode ec;
    client.init_asio(ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    client.set_max_message_size(kMaxMessageBytes);
    client.set_open_handler([&e](websocketpp::connection_hdl) { e.setState(Endpoint::State::Open); });
    client.set_fail_handler([&e](websocketpp::connection_hdl hdl) {
        ErrorCode ignored;
        const Client::connection_ptr failed = e.client.get_con_from_hdl(hdl, ignored);
        e.setState(Endpoint::State::Failed, failed ? failed->get_ec().message() : "connection failed");
    });
    client.set_close_handler([&e](websocketpp::connection_hdl hdl) {
        ErrorCode ignored;
        const Client::connection_ptr ended = e.client.get_con_from_hdl(hdl, ignored);
        std::string reason = "connection closed";
        if (ended && ended->get_ec())
            reason = ended->get_ec().message();
        else if (ended && !ended->get_remote_close_reason().empty())
            reason = ended->get_remote_close_reason();
        e.setState(Endpoint::State::Closed);
        if (!e.isClosing() && e.onClosed)
            e.onClosed(reason);
    });
    client.set_message_handler([&e](websocketpp::connection_hdl, Client::message_ptr received) {
        if (e.onMessage)
            e.onMessage(std::move(received->get_raw_payload()));
    });

    const Client::connection_ptr connection = client.get_connection(url, ec);
    if (ec) {
        error = ec.message();
        return false;
    }
    connection->set_open_handshake_timeout(timeoutMs);
    connection->set_close_handshake_timeout(kCloseHandshakeMs);
    e.connection = connection->get_handle();
    client.connect(connection);
    e.thread = std::thread([&client] { client.run(); });

    std::unique_lock<std::mutex> locked(e.mutex);
    e.changed.wait_for(locked, std::chrono::milliseconds(timeoutMs) + std::chrono::milliseconds(kCloseHandshakeMs),
                       [&e] { return e.state != Endpoint::State::Connecting; });
    if (e.state == Endpoint::State::Open)
        return true;
    error = e.state == Endpoint::State::Connecting ? "no answer from " + url : e.failure;
    locked.unlock();
    close();
    return false;
}

void DevToolsConnection::send(std::string message)
{
    post([this, message = std::move(message)] {
        ErrorCode ignored; // a send after the end is dropped: the close handler tells the owner
        endpoint->client.send(endpoint->connection, message, websocketpp::frame::opcode::text, ignored);
    });
}

void DevToolsConnection::post(std::function<void()> task)
{
    if (endpoint)
        asio::post(endpoint->client.get_io_service(), std::move(task));
}

void DevToolsConnection::postDelayed(int delayMs, std::function<void()> task)
{
    post([this, delayMs, task = std::move(task)]() mutable {
        auto timer = std::make_shared<asio::steady_timer>(endpoint->client.get_io_service(),
                                                          std::chrono::milliseconds(delayMs));
        timer->async_wait([timer, task = std::move(task)](const asio::error_code& ec) {
            if (!ec)
                task();
        });
    });
}

void DevToolsConnection::close()
{
    if (!endpoint)
        return;
    Endpoint& e = *endpoint;
    {
        const std::lock_guard<std::mutex> locked(e.mutex);
        e.closing = true;
    }
    if (e.thread.joinable()) {
        post([&e] {
            ErrorCode ignored;
            e.client.close(e.connection, websocketpp::close::status::going_away, "", ignored);
        });
        {
            // A browser that has gone answers no close frame: the handshake's own time-out ends it.
            std::unique_lock<std::mutex> locked(e.mutex);
            e.changed.wait_for(locked, std::chrono::milliseconds(2 * kCloseHandshakeMs), [&e] {
                return e.state == Endpoint::State::Closed || e.state == Endpoint::State::Failed;
            });
        }
        e.client.stop(); // timers still pending would keep the loop running
        e.thread.join();
    }
    endpoint.reset();
}
