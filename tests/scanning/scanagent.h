// The fixture of the scanning tests with the real agent: virtual scanners behind our DSM
// (profiles written here, the DSM's trace of every call), a web page on the WebSocket, and a
// local HTTP server that answers the upgrade check and receives the pages.
#pragma once

#include "agentsandbox.h"
#include "httptestserver.h"
#include "wait.h"
#include "wsclient.h"

#include "../twaindsm/image_check.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>

namespace scantest {

using vtest::AgentSandbox;
using vtest::HttpReply;
using vtest::HttpTestServer;
using vtest::WsClient;

constexpr int kScanWaitMs = 90000;
constexpr const char* kCheckPath = "/web-awg/navrel-hub/app/upgrade/check";
// The scanning tests shorten the agent's pauses (the tests of the 5 s end set it back); this is
// long enough for an end that must not come to have come.
constexpr int kNoFurtherEndMs = AgentSandbox::kShortScanEndMs + 2000;

// The page number the virtual scanner stamped on a page, read back from the saved JPEG.
inline int stampedPageNumber(const QImage& decoded, int dpi)
{
    const QImage rgb = decoded.convertToFormat(QImage::Format_RGB888);
    PageImage page;
    page.width = rgb.width();
    page.height = rgb.height();
    page.bitCount = 24;
    page.dpi = dpi;
    page.rows.resize(page.rowBytes() * size_t(page.height));
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(page.rows.data() + page.rowBytes() * size_t(y), rgb.constScanLine(y), page.rowBytes());
    return page.pageNumber();
}

class ScanAgent : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(http.isListening());
        http.answer(kCheckPath, HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})",
                                                      "application/json"));
        http.answer("/upload", HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})", "application/json"));
        sandbox.usePrivateProgramFolder(QJsonObject{
            { "appname", "vellox" }, { "appversion", "1.0.0" }, { "current", "local" },
            { "domains", QJsonArray{ QJsonObject{ { "key", "local" }, { "name", "本地" }, { "url", http.url("/") } } } } });
        sandbox.setEnv("TWAINDSM_SOURCES", sandbox.pathForAgent(profilePath()));
        sandbox.setEnv("TWAINDSM_TRACE", sandbox.pathForAgent(tracePath()));
        sandbox.setConfig("outputpath", sandbox.pathForAgent(outputFolder()));
        sandbox.shortenScanPauses();
    }

    void TearDown() override
    {
        if (HasFailure())
            std::fprintf(stderr, "agent log:\n%s\n", sandbox.readLog().toUtf8().constData());
    }

    QString profilePath() const { return sandbox.root() + "/sources.json"; }
    QString tracePath() const { return sandbox.root() + "/trace.jsonl"; }
    QString outputFolder() const { return sandbox.root() + "/out"; }
    QString batchFolder(const QString& batch) const { return outputFolder() + "/" + batch + "/"; }

    void writeProfile(const QJsonArray& sources)
    {
        QFile file(profilePath());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(QJsonDocument(QJsonObject{ { "sources", sources } }).toJson());
    }

    // A scanner of small pages, so batches are quick.
    static QJsonObject scanner(const QString& name, QJsonObject extra = {})
    {
        extra.insert("productName", name);
        if (!extra.contains("default"))
            extra.insert("default", true);
        if (!extra.contains("resolution"))
            extra.insert("resolution", 75);
        if (!extra.contains("paperSize"))
            extra.insert("paperSize", "A5");
        return extra;
    }

    // Starts the agent, connects the page and waits until the scanner is announced.
    std::optional<QJsonObject> startAgent(const QJsonArray& sources)
    {
        writeProfile(sources);
        port = sandbox.startListening({ "--hidden" });
        EXPECT_NE(port, 0);
        if (port == 0 || !page.open(port))
            return std::nullopt;
        return page.waitForCmd("can-use", kScanWaitMs);
    }

    std::optional<QJsonObject> startScan(const QString& batch, int paperVersion = 2)
    {
        return page.request("start-scan", QJsonObject{ { "batchno", batch },
                                                       { "uploadUrl", http.url("/upload") },
                                                       { "unionKey", "U-" + batch },
                                                       { "paperVersion", paperVersion } });
    }

    std::optional<QJsonObject> scanErrorEvent(int timeoutMs = kScanWaitMs)
    {
        return page.waitFor([](const QJsonObject& m) {
            return m.value("cmd").toString() == "error"
                && m.value("data").toObject().value("errorType").toString() == "scan-error";
        }, timeoutMs);
    }

    // A failure reaches the page with `text`, then the batch ends: "scan-end" and "uploaded-end",
    // whose data is returned.
    std::optional<QJsonObject> failureEndsTheBatch(const QString& text)
    {
        const auto error = scanErrorEvent();
        if (!error) {
            ADD_FAILURE() << "no scan-error";
            return std::nullopt;
        }
        EXPECT_EQ(error->value("msg").toString(), text);
        if (!page.waitForCmd("scan-end", kScanWaitMs)) {
            ADD_FAILURE() << "no scan-end after " << text.toStdString();
            return std::nullopt;
        }
        const auto end = page.waitForCmd("uploaded-end", kScanWaitMs);
        if (!end) {
            ADD_FAILURE() << "no uploaded-end after " << text.toStdString();
            return std::nullopt;
        }
        return end->value("data").toObject();
    }

    QStringList jpegs(const QString& batch) const
    {
        QStringList names = QDir(batchFolder(batch)).entryList({ "*.jpg" }, QDir::Files);
        std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
            return a.mid(5).chopped(4).toInt() < b.mid(5).chopped(4).toInt();
        });
        return names;
    }

    // Every page of the batch is a decodable JPEG carrying the stamp of its page number.
    void expectPagesInOrder(const QString& batch, int pages, int dpi = 75)
    {
        ASSERT_TRUE(vtest::waitUntil([&] { return jpegs(batch).size() == pages; })) << jpegs(batch).join(',').toStdString();
        for (int n = 1; n <= pages; ++n) {
            const QString path = batchFolder(batch) + QString("Image%1.jpg").arg(n);
            QImage image;
            ASSERT_TRUE(vtest::waitUntil([&] { return image.load(path, "JPG"); })) << path.toStdString();
            EXPECT_EQ(stampedPageNumber(image, dpi), n) << path.toStdString();
        }
    }

    std::vector<QJsonObject> trace(const QString& dat = {}, const QString& msg = {}) const
    {
        std::vector<QJsonObject> lines;
        QFile file(tracePath());
        if (!file.open(QIODevice::ReadOnly))
            return lines;
        for (const QByteArray& line : file.readAll().split('\n')) {
            const QJsonObject entry = QJsonDocument::fromJson(line).object();
            if (entry.isEmpty() || (!dat.isEmpty() && entry.value("dat").toString() != dat)
                || (!msg.isEmpty() && entry.value("msg").toString() != msg))
                continue;
            lines.push_back(entry);
        }
        return lines;
    }

    int traceCount(const QString& dat, const QString& msg) const { return int(trace(dat, msg).size()); }

    // The values written to a capability since the start of the agent, in order.
    QJsonArray valuesSet(const QString& cap) const
    {
        QJsonArray values;
        for (const QJsonObject& line : trace("DAT_CAPABILITY", "MSG_SET")) {
            if (line.value("cap").toString() == cap)
                values.append(line.value("set").toObject().value("value"));
        }
        return values;
    }

    HttpTestServer http;
    AgentSandbox sandbox;
    WsClient page;
    quint16 port = 0;
};

} // namespace scantest
