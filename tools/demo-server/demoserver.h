#pragma once

#include "pagestore.h"
#include "upgradeoffer.h"

#include <QString>

#include <memory>
#include <string>

namespace httplib {
class Server;
struct Request;
struct Response;
} // namespace httplib

// The school's servers as the agent and the web console meet them, on loopback only:
//   /                    redirect to the console (/console/, the query kept)
//   /console/, /vellox-client.js …   the web folder
//   POST /upload         one scanned page (the agent's upload request), stored by batch and number
//   GET  /pages          the batches received; /pages/<batch> its pages; /pages/<batch>/<n>.jpg
//   POST /web-awg/navrel-hub/app/upgrade/check   the upgrade check (see UpgradeOffer)
//   GET  /upgrade/<package>   the offered package
//   GET  /samples        sample answer sheets to print; /samples/sheet-<n>.jpg
// Requests it cannot take get 400 with a JSON body {"code": 400, "msg": reason, "data": {}}.
class DemoServer {
public:
    struct Settings {
        int port = 8780;      // 0: any free port
        QString dataFolder;   // pages, samples and the upgrade offer
        QString webFolder;    // the console and the client library
    };

    explicit DemoServer(Settings settings);
    ~DemoServer();

    // Binds 127.0.0.1; the port bound, or -1.
    int bind();
    // Serves until stop(); false when the server could not run.
    bool run();
    // From any thread.
    void stop();

    QString baseUrl() const;

private:
    void addRoutes();
    void upload(const httplib::Request& request, httplib::Response& response);
    void upgradeCheck(const httplib::Request& request, httplib::Response& response);

    Settings settings;
    std::unique_ptr<httplib::Server> http;
    PageStore pages;
    UpgradeOffer offer;
    int boundPort = -1;
};
