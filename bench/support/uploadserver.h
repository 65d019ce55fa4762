// The receiving side of the scan benchmarks as a process of its own, so the server's work is
// not counted as the agent's and does not run in the measuring process. The benchmark program
// starts itself with "--upload-server"; the parent talks to it by lines on its standard input
// and output: "hold" (later uploads are not answered), "answer" (every held one and later ones
// are answered), "stats" (answers "stats <requests> <distinct pages>"), "quit".
#pragma once

#include "httptestserver.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>
#include <iostream>
#include <mutex>
#include <set>
#include <string>

namespace bench {

const char* const kUploadServerFlag = "--upload-server";
const char* const kUpgradeCheckPath = "/web-awg/navrel-hub/app/upgrade/check";

// In the child: serves until "quit" or the end of its input.
inline int runUploadServer()
{
    vtest::HttpTestServer http;
    http.setRecordBodies(false);
    http.answer(kUpgradeCheckPath, vtest::HttpReply::withStatus(200, R"({"code":200,"data":{"hasNewVersion":false}})"));
    std::mutex mutex;
    std::set<int> pages;
    bool hold = false;
    http.handle("/upload", [&](const vtest::HttpRequestRecord& request) {
        static const QRegularExpression sortNo("\"sortNo\": (\\d+)");
        // The number is near the end of the indented body, after the page.
        const QRegularExpressionMatch match = sortNo.match(QString::fromLatin1(request.body.right(300)));
        std::lock_guard<std::mutex> lock(mutex);
        if (match.hasMatch())
            pages.insert(match.captured(1).toInt());
        vtest::HttpReply reply = vtest::HttpReply::withStatus(200, R"({"code":200,"msg":"ok","data":{}})");
        reply.hold = hold;
        return reply;
    });
    std::printf("port %u\n", unsigned(http.port()));
    std::fflush(stdout);
    for (std::string line; std::getline(std::cin, line);) {
        if (line == "hold") {
            std::lock_guard<std::mutex> lock(mutex);
            hold = true;
        } else if (line == "answer") {
            {
                std::lock_guard<std::mutex> lock(mutex);
                hold = false;
            }
            http.releaseAll();
        } else if (line == "stats") {
            std::lock_guard<std::mutex> lock(mutex);
            std::printf("stats %d %zu\n", http.requestCount("/upload"), pages.size());
            std::fflush(stdout);
        } else if (line == "quit") {
            break;
        }
        std::printf("ok\n");
        std::fflush(stdout);
    }
    return 0;
}

// In the parent.
class UploadServerProcess {
public:
    UploadServerProcess()
    {
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(QCoreApplication::applicationFilePath(), { kUploadServerFlag });
        const QByteArray line = readLine();
        if (line.startsWith("port "))
            serverPort = line.mid(5).trimmed().toUShort();
    }
    ~UploadServerProcess()
    {
        command("quit");
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(5000);
    }

    quint16 port() const { return serverPort; }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort).arg(path); }
    qint64 pid() const { return process.processId(); }

    void hold() { command("hold"); }
    void answer() { command("answer"); }
    // Requests received, and distinct pages among them.
    std::pair<int, int> stats()
    {
        process.write("stats\n");
        const QList<QByteArray> fields = readLine().trimmed().split(' ');
        readLine();  // "ok"
        return fields.size() == 3 ? std::make_pair(fields[1].toInt(), fields[2].toInt()) : std::make_pair(-1, -1);
    }

private:
    QByteArray readLine()
    {
        while (!process.canReadLine()) {
            if (!process.waitForReadyRead(30000))
                return QByteArray();
        }
        return process.readLine();
    }
    void command(const char* text)
    {
        if (process.state() != QProcess::Running)
            return;
        process.write(QByteArray(text) + '\n');
        readLine();
    }

    QProcess process;
    quint16 serverPort = 0;
};

} // namespace bench
