#include "windowcontrolserver.h"

#include "wait.h"

#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QWidget>

#include <gtest/gtest.h>

#include <future>

namespace {

using vtest::waitUntil;

QString uniqueName()
{
    static int counter = 0;
    return QStringLiteral("VelloxBrowserWindow-test-%1-%2").arg(QCoreApplication::applicationPid()).arg(++counter);
}

// Another process's side: blocking calls on a thread of their own while this one serves.
QByteArray ask(const QString& server, const QByteArray& line)
{
    auto answer = std::async(std::launch::async, [&] { return WindowControlServer::request(line, 10000, server); });
    waitUntil([&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return answer.get();
}

// Raw bytes on one connection; the answer lines, in order.
QList<QByteArray> exchange(const QString& server, const QByteArray& bytes, int lines)
{
    auto answers = std::async(std::launch::async, [&] {
        QList<QByteArray> got;
        QLocalSocket socket;
        socket.connectToServer(server);
        if (!socket.waitForConnected(10000))
            return got;
        socket.write(bytes);
        while (got.size() < lines && (socket.canReadLine() || socket.waitForReadyRead(10000))) {
            while (socket.canReadLine())
                got << socket.readLine().trimmed();
        }
        return got;
    });
    waitUntil([&] { return answers.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    return answers.get();
}

// Another process's link: "disable" sent on a connection that stays open until closed here (or
// until this object goes, as with a process that dies).
class Link {
public:
    explicit Link(const QString& server)
    {
        opened = std::async(std::launch::async, [this, server] {
            QLocalSocket socket;
            socket.connectToServer(server);
            if (!socket.waitForConnected(10000))
                return QByteArray();
            socket.write("disable\n");
            QByteArray answer;
            if (socket.waitForReadyRead(10000))
                answer = socket.readLine().trimmed();
            answered.set_value(answer);
            closing.get_future().wait();
            socket.close();
            return answer;
        });
    }
    ~Link() { close(); }
    QByteArray answer()
    {
        auto future = answered.get_future();
        waitUntil([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
        return future.get();
    }
    void close()
    {
        if (!closed) {
            closed = true;
            closing.set_value();
            opened.wait();
        }
    }

private:
    std::promise<QByteArray> answered;
    std::promise<void> closing;
    std::future<QByteArray> opened;
    bool closed = false;
};

struct ShownWindow : QWidget {
    explicit ShownWindow(const QString& title)
    {
        setWindowTitle(title);
        resize(300, 200);
    }
};

// A listening server; the shell's window and another program's, not yet shown.
class WindowControl : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.listen(name)); }

    void showAndAttach()
    {
        shell.show();
        server.attachWindow(&shell);
    }
    bool giveFocusToOther()
    {
        other.show();
        other.activateWindow();
        return waitUntil([&] { return other.isActiveWindow(); });
    }
    QByteArray ask(const QByteArray& line) const { return ::ask(name, line); }

    const QString name = uniqueName();
    WindowControlServer server;
    ShownWindow shell {"shell"};
    ShownWindow other {"other"};
};

TEST_F(WindowControl, RequestsBeforeTheWindowExistsApplyWhenItShows)
{
    EXPECT_EQ(ask("visible"), "0");
    Link link(name);
    EXPECT_EQ(link.answer(), "ok");
    EXPECT_EQ(ask("activate"), "ok");
    ASSERT_TRUE(giveFocusToOther());

    showAndAttach();
    EXPECT_FALSE(shell.isEnabled());
    EXPECT_TRUE(waitUntil([&] { return shell.isActiveWindow(); }));
    EXPECT_EQ(ask("visible"), "1");
}

TEST_F(WindowControl, StaysDisabledOnlyWhileTheLinkThatDisabledItIsOpen)
{
    showAndAttach();
    {
        Link link(name);
        ASSERT_EQ(link.answer(), "ok");
        EXPECT_FALSE(shell.isEnabled());
        // Other requests come and go on connections of their own.
        EXPECT_EQ(ask("visible"), "1");
        EXPECT_FALSE(shell.isEnabled());
        EXPECT_EQ(ask("enable"), "ok");
        EXPECT_TRUE(shell.isEnabled());
    }
    // The link's end, as when the process that holds it dies, gives the window its input back.
    Link link(name);
    ASSERT_EQ(link.answer(), "ok");
    EXPECT_FALSE(shell.isEnabled());
    link.close();
    EXPECT_TRUE(waitUntil([&] { return shell.isEnabled(); }));
}

TEST_F(WindowControl, TakesTheEnvironmentMenuOnlyWhileInFront)
{
    QSignalSpy offered(&server, &WindowControlServer::envMenuRequested);
    EXPECT_EQ(ask("envmenu"), "no");
    showAndAttach();
    shell.activateWindow();
    ASSERT_TRUE(waitUntil([&] { return shell.isActiveWindow(); }));
    EXPECT_EQ(ask("envmenu"), "ok");
    EXPECT_EQ(offered.count(), 1);
    ASSERT_TRUE(giveFocusToOther());
    EXPECT_EQ(ask("envmenu"), "no");
    EXPECT_EQ(offered.count(), 1);
}

TEST_F(WindowControl, AnswersForTheWindowAndBringsItForward)
{
    showAndAttach();
    EXPECT_EQ(ask("visible"), "1");

    shell.showMinimized();
    EXPECT_EQ(ask("visible"), "0");
    ASSERT_TRUE(giveFocusToOther());
    EXPECT_EQ(ask("activate"), "ok");
    EXPECT_FALSE(shell.isMinimized());
    EXPECT_TRUE(waitUntil([&] { return shell.isActiveWindow(); }));
    EXPECT_EQ(ask("visible"), "1");

    shell.hide();
    EXPECT_EQ(ask("visible"), "0");
}

TEST_F(WindowControl, AnswersEveryLineAndRefusesWhatItDoesNotKnow)
{
    showAndAttach();
    EXPECT_EQ(exchange(name, "visible\r\nVISIBLE\n\nactivate now\nenable\n", 5),
              QList<QByteArray>({"1", "error", "error", "error", "ok"}));
    // A peer that never ends its line is cut off.
    EXPECT_EQ(exchange(name, QByteArray(300, 'x'), 1), QList<QByteArray>({"error"}));
}

TEST(WindowControlSocket, TakesOverTheSocketOfACrashedShellAndLetsGoWhenClosing)
{
    const QString name = uniqueName();
    {
        WindowControlServer crashed;
        ASSERT_TRUE(crashed.listen(name));
    }
    // What a killed shell leaves: the socket file, with nobody behind it.
    QFile leftOver(QDir::tempPath() + '/' + name);
    ASSERT_TRUE(leftOver.open(QIODevice::WriteOnly));
    leftOver.close();

    WindowControlServer server;
    ASSERT_TRUE(server.listen(name)) << qPrintable(server.errorString());
    EXPECT_EQ(ask(name, "visible"), "0");
    server.stopListening();
    EXPECT_EQ(ask(name, "visible"), "");
}

} // namespace
