// Stands in for Edge in the Windows shell's tests: a top-level window titled "Browser stand-in"
// and just enough of the DevTools protocol on a loopback port (announced in DevToolsActivePort
// of --user-data-dir, as a browser does) for the shell to drive it: one page that is attached,
// every command answered, Browser.close closing the window. Every command it receives is
// appended to "calls.txt" in its profile as "method url" (the url of Page.navigate and
// Network.setCookie).
// The window's end (closed by the shell or by the test) ends the program.
#include <nlohmann/json.hpp>
#include <websocketpp/config/asio_no_tls.hpp>
#include <websocketpp/server.hpp>

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

namespace {
using Server = websocketpp::server<websocketpp::config::asio>;
using Json = nlohmann::json;

const wchar_t* const kWindowTitle = L"Browser stand-in";
constexpr UINT kCloseFromServer = WM_APP + 20;

Server server;
websocketpp::connection_hdl shell;
HWND window = nullptr;
std::wstring profile;
std::mutex reportLock;

void report(const std::string& line)
{
    const std::lock_guard<std::mutex> locked(reportLock);
    std::ofstream(std::filesystem::path(profile + L"\\calls.txt"), std::ios::app | std::ios::binary) << line << std::endl;
}

void send(const Json& message)
{
    websocketpp::lib::error_code ignored;
    server.send(shell, message.dump(), websocketpp::frame::opcode::text, ignored);
}

void answer(const std::string& text)
{
    const Json command = Json::parse(text, nullptr, false);
    if (!command.is_object())
        return;
    const std::string method = command.value("method", "");
    const Json params = command.value("params", Json::object());
    const bool hasUrl = method == "Page.navigate" || method == "Network.setCookie";
    report(method + (hasUrl ? " " + params.value("url", "") : std::string()));
    Json reply {{"id", command.value("id", 0)}, {"result", Json::object()}};
    if (command.contains("sessionId"))
        reply["sessionId"] = command["sessionId"];
    if (method == "Runtime.evaluate")
        reply["result"] = {{"result", {{"type", "object"}, {"value", {1280, 800}}}}};
    else if (method == "Browser.getWindowForTarget")
        reply["result"] = {{"windowId", 1},
                           {"bounds", {{"windowState", window && IsIconic(window) ? "minimized" : "normal"}}}};
    send(reply);
    if (method == "Target.setAutoAttach") {
        send({{"method", "Target.attachedToTarget"},
              {"params", {{"sessionId", "S1"},
                          {"targetInfo", {{"targetId", "T1"}, {"type", "page"}, {"url", "data:text/html,"}}},
                          {"waitingForDebugger", false}}}});
    } else if (method == "Browser.close") {
        PostMessageW(window, kCloseFromServer, 0, 0);
    }
}

std::wstring argumentValue(const wchar_t* name)
{
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    const std::wstring prefix = name;
    std::wstring value;
    for (int i = 1; i < count; ++i) {
        const std::wstring argument = arguments[i];
        if (argument.compare(0, prefix.size(), prefix) == 0)
            value = argument.substr(prefix.size());
    }
    LocalFree(arguments);
    return value;
}

LRESULT CALLBACK procedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case kCloseFromServer:
        DestroyWindow(hwnd);
        return 0;
    case WM_DESTROY:
        // The page goes with the window, as a browser reports it.
        send({{"method", "Target.targetDestroyed"}, {"params", {{"targetId", "T1"}}}});
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}
} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    profile = argumentValue(L"--user-data-dir=");
    report("started " + std::string(argumentValue(L"--app=").empty() ? "without" : "with") + " an app page");

    WNDCLASSW windowClass {};
    windowClass.lpfnWndProc = procedure;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = L"BrowserStandIn";
    RegisterClassW(&windowClass);
    window = CreateWindowExW(0, windowClass.lpszClassName, kWindowTitle, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100,
                             400, 300, nullptr, nullptr, instance, nullptr);
    SetForegroundWindow(window);

    server.clear_access_channels(websocketpp::log::alevel::all);
    server.clear_error_channels(websocketpp::log::elevel::all);
    server.init_asio();
    server.set_open_handler([](websocketpp::connection_hdl connection) { shell = connection; });
    server.set_message_handler([](websocketpp::connection_hdl, Server::message_ptr message) {
        answer(message->get_payload());
    });
    server.listen(asio::ip::tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
    server.start_accept();
    websocketpp::lib::error_code ec;
    const int port = server.get_local_endpoint(ec).port();
    {
        std::ofstream active(std::filesystem::path(profile + L"\\DevToolsActivePort.part"));
        active << port << "\n/devtools/browser/stand-in\n";
    }
    MoveFileExW((profile + L"\\DevToolsActivePort.part").c_str(), (profile + L"\\DevToolsActivePort").c_str(),
                MOVEFILE_REPLACE_EXISTING);
    std::thread serving([] { server.run(); });

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    report("ended");
    server.stop();
    serving.join();
    return 0;
}
