#include "demoserver.h"

#include "samplesheets.h"
#include "uploadrequest.h"

#include <httplib.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

const char* const kJson = "application/json; charset=utf-8";
const char* const kLoopback = "127.0.0.1";

std::mutex outputMutex;

void say(const QString& line)
{
    std::lock_guard<std::mutex> lock(outputMutex);
    std::fprintf(stdout, "%s\n", qUtf8Printable(line));
    std::fflush(stdout);
}

void sendJson(httplib::Response& response, int status, const QJsonDocument& document)
{
    response.status = status;
    response.set_content(document.toJson(QJsonDocument::Compact).toStdString(), kJson);
}

// Refusals carry their reason in the answer shape the agent reads, so it reaches the page.
void refuse(httplib::Response& response, int status, const QString& reason)
{
    sendJson(response, status, QJsonDocument(QJsonObject{{"code", status}, {"msg", reason}, {"data", QJsonObject()}}));
}

QString fromUtf8(const std::string& text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

} // namespace

DemoServer::DemoServer(Settings settings)
    : settings(std::move(settings))
    , http(std::make_unique<httplib::Server>())
    , pages(this->settings.dataFolder)
    , offer(this->settings.dataFolder)
{
    addRoutes();
}

DemoServer::~DemoServer() = default;

int DemoServer::bind()
{
    boundPort = settings.port == 0 ? http->bind_to_any_port(kLoopback)
                                   : (http->bind_to_port(kLoopback, settings.port) ? settings.port : -1);
    return boundPort;
}

bool DemoServer::run()
{
    return http->listen_after_bind();
}

void DemoServer::stop()
{
    http->stop();
}

QString DemoServer::baseUrl() const
{
    return QStringLiteral("http://%1:%2/").arg(QLatin1String(kLoopback)).arg(boundPort);
}

void DemoServer::addRoutes()
{
    httplib::Server& server = *http;
    // Larger bodies are refused by the library (413, turned into 400 with a reason below).
    server.set_payload_max_length(size_t(DemoUpload::kMaxBodyBytes));
    server.set_file_extension_and_mimetype_mapping("html", "text/html; charset=utf-8");
    server.set_file_extension_and_mimetype_mapping("js", "text/javascript; charset=utf-8");
    server.set_file_extension_and_mimetype_mapping("ts", "text/plain; charset=utf-8");
    server.set_file_extension_and_mimetype_mapping("css", "text/css; charset=utf-8");
    server.set_mount_point("/samples", SampleSheets::folder(settings.dataFolder).toStdString());
    server.set_mount_point("/", settings.webFolder.toStdString(), {{"Cache-Control", "no-cache"}});

    server.Get("/", [](const httplib::Request& request, httplib::Response& response) {
        const size_t query = request.target.find('?');
        response.set_redirect(query == std::string::npos ? "/console/" : "/console/" + request.target.substr(query));
    });

    server.Post("/upload", [this](const httplib::Request& request, httplib::Response& response) {
        upload(request, response);
    });

    server.Get("/pages", [this](const httplib::Request&, httplib::Response& response) {
        sendJson(response, 200, QJsonDocument(pages.batches()));
    });
    server.Get(R"(/pages/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        QJsonArray list;
        if (!pages.pagesOf(fromUtf8(request.matches[1]), &list)) {
            refuse(response, 404, QStringLiteral("no page of batch \"%1\" has arrived").arg(fromUtf8(request.matches[1])));
            return;
        }
        sendJson(response, 200, QJsonDocument(list));
    });
    server.Get(R"(/pages/([^/]+)/(\d{1,9})\.jpg)", [this](const httplib::Request& request, httplib::Response& response) {
        const QString path = pages.pageFile(fromUtf8(request.matches[1]), std::stoi(request.matches[2]));
        QFile file(path);
        if (path.isEmpty() || !file.open(QIODevice::ReadOnly)) {
            refuse(response, 404, QStringLiteral("no such page"));
            return;
        }
        const QByteArray bytes = file.readAll();
        response.set_header("Cache-Control", "no-cache");
        response.set_content(bytes.constData(), size_t(bytes.size()), "image/jpeg");
    });

    server.Post("/web-awg/navrel-hub/app/upgrade/check",
                [this](const httplib::Request& request, httplib::Response& response) { upgradeCheck(request, response); });

    server.Get(R"(/upgrade/([^/]+))", [this](const httplib::Request& request, httplib::Response& response) {
        const QString name = fromUtf8(request.matches[1]);
        QFile file(offer.folder() + QLatin1Char('/') + name);
        if (name.startsWith(QLatin1Char('.')) || !file.open(QIODevice::ReadOnly)) {
            refuse(response, 404, QStringLiteral("no package %1").arg(name));
            return;
        }
        const QByteArray bytes = file.readAll();
        // The library answers range requests (resumed downloads) from the whole content.
        response.set_content(bytes.constData(), size_t(bytes.size()), "application/octet-stream");
    });

    server.Get("/samples", [](const httplib::Request&, httplib::Response& response) {
        sendJson(response, 200, QJsonDocument(SampleSheets::list()));
    });

    // Requests the library refused before a route saw them get a reason as well.
    server.set_error_handler([](const httplib::Request& request, httplib::Response& response) {
        if (!response.body.empty())
            return;
        const QString tooLarge = QStringLiteral("the body is larger than %1 MiB").arg(DemoUpload::kMaxBodyBytes / (1024 * 1024));
        if (response.status == 413) {
            refuse(response, 400, tooLarge);
        } else if (response.status == 404) {
            refuse(response, 404, QStringLiteral("nothing is served at %1").arg(fromUtf8(request.path)));
        } else if (response.status == 400 && request.path == "/upload") {
            const QString typeProblem = DemoUpload::contentTypeProblem(fromUtf8(request.get_header_value("Content-Type")));
            refuse(response, 400, !typeProblem.isEmpty() ? typeProblem
                                                         : QStringLiteral("the body could not be read (broken framing, or %1)").arg(tooLarge));
        } else {
            refuse(response, response.status, QStringLiteral("the request could not be taken (HTTP %1)").arg(response.status));
        }
    });

    server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
        QString line = QStringLiteral("%1 %2 %3").arg(fromUtf8(request.method), fromUtf8(request.path)).arg(response.status);
        if (response.status >= 400) {
            const QString reason = QJsonDocument::fromJson(QByteArray::fromStdString(response.body)).object().value("msg").toString();
            if (!reason.isEmpty())
                line += QStringLiteral(": ") + reason;
        }
        say(line);
    });
}

void DemoServer::upload(const httplib::Request& request, httplib::Response& response)
{
    const UploadCheck check = DemoUpload::check(fromUtf8(request.get_header_value("Content-Type")),
                                                QByteArray::fromStdString(request.body));
    if (!check.ok) {
        refuse(response, 400, check.reason);
        return;
    }
    const UploadRequest& page = check.page;
    QString error;
    if (!pages.store(page, &error)) {
        refuse(response, 500, error);
        return;
    }
    say(QStringLiteral("stored page %1 of batch %2 (%3 bytes, union key %4, paper version %5)")
            .arg(page.sortNo)
            .arg(page.batchNumber)
            .arg(page.jpeg.size())
            .arg(page.unionKey)
            .arg(page.paperVersion));
    const QJsonObject data{{"batchNumber", page.batchNumber},
                           {"sortNo", page.sortNo},
                           {"url", PageStore::pageUrl(page.batchNumber, page.sortNo)}};
    sendJson(response, 200, QJsonDocument(QJsonObject{{"code", 200}, {"msg", "ok"}, {"data", data}}));
}

void DemoServer::upgradeCheck(const httplib::Request& request, httplib::Response& response)
{
    QJsonObject answer;
    QString reason;
    if (!offer.answer(QByteArray::fromStdString(request.body), baseUrl(), &answer, &reason)) {
        refuse(response, 400, reason);
        return;
    }
    sendJson(response, 200, QJsonDocument(answer));
}
