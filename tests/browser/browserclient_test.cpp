#include "browserclient.h"
#include "rotatingfile.h"
#include "shellrules.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

using Action = BrowserClient::KeyAction;

BrowserClient::KeyEvent press(int qtKey, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    return BrowserClient::keyEventFrom(QKeyEvent(QEvent::KeyPress, qtKey, modifiers));
}

TEST(BrowserClient, ActsOnF12AndCtrlAltKOnly)
{
    const Qt::KeyboardModifiers ctrlAlt = Qt::ControlModifier | Qt::AltModifier;
    struct {
        const char* what;
        BrowserClient::KeyEvent key;
        Action action;
    } const cases[] = {
        {"F12", press(Qt::Key_F12), Action::OpenDevTools},
        {"Shift+F12", press(Qt::Key_F12, Qt::ShiftModifier), Action::OpenDevTools},
        {"Ctrl+Alt+K", press(Qt::Key_K, ctrlAlt), Action::ShowEnvMenu},
        {"Ctrl+Shift+Alt+K", press(Qt::Key_K, ctrlAlt | Qt::ShiftModifier), Action::ShowEnvMenu},
        {"Alt+K", press(Qt::Key_K, Qt::AltModifier), Action::None},
        {"Ctrl+K", press(Qt::Key_K, Qt::ControlModifier), Action::None},
        {"K", press(Qt::Key_K), Action::None},
        {"Ctrl+Alt+J", press(Qt::Key_J, ctrlAlt), Action::None},
        {"F11", press(Qt::Key_F11), Action::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(BrowserClient::actionFor(c.key), c.action);
    }
}

TEST(BrowserClient, EnvironmentMenuListsEveryEnvironmentByNameOrKey)
{
    const std::vector<ShellEnvironment> environments {
        {"a", "测试A", "http://a.example/"}, {"b", "", "http://b.example"}, {"c", "C", "http://c.example"}};
    const std::unique_ptr<QMenu> menu = BrowserClient::buildEnvMenu(environments);
    const QList<QAction*> items = menu->actions();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0]->text(), QString::fromUtf8("测试A"));
    EXPECT_EQ(items[1]->text(), "b");
    EXPECT_EQ(items[2]->text(), "C");
    for (int i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i]->data().toInt(), i + 1);
        EXPECT_FALSE(items[i]->isChecked()); // nothing marks the current one
    }
}

TEST(ShellRules, OriginsAreReadAsABrowserReadsThem)
{
    using ShellRules::originOf;
    EXPECT_EQ(originOf("https://School.Example/a/").serialised(), "https://school.example");
    EXPECT_EQ(originOf("https://school.example:443/").serialised(), "https://school.example");
    EXPECT_EQ(originOf("http://127.0.0.1:8080").serialised(), "http://127.0.0.1:8080");
    EXPECT_EQ(originOf("HTTP://[::1]:9/x").serialised(), "http://[::1]:9");
    // What a page can write to look like the school and be somewhere else.
    EXPECT_EQ(originOf("https://school.example@evil.example/").host, "evil.example");
    EXPECT_EQ(originOf("https://evil.example\\@school.example/").host, "evil.example");
    EXPECT_EQ(originOf("https://sch\nool.example/").host, "school.example");
    EXPECT_EQ(originOf("https:\\\\evil.example/").host, "evil.example");
    EXPECT_FALSE(originOf("https://school.example:99999/").isValid());
    EXPECT_FALSE(originOf("https://:443/").isValid());
    EXPECT_FALSE(originOf("file:///etc/passwd").isValid());
    EXPECT_FALSE(originOf("javascript:alert(1)").isValid());
    EXPECT_FALSE(originOf("").isValid());
}

TEST(ShellRules, WindowsStayOnTheShellsOwnOriginsAndOnlyTheyAreTold)
{
    using ShellRules::Navigation;
    const ShellRules::ShellOrigins origins({"http://Server-A.example:8080/a/", "https://b.example", "not an address"});
    EXPECT_EQ(origins.navigationTo("http://server-a.example:8080/elsewhere?x#y"), Navigation::Show);
    EXPECT_EQ(origins.navigationTo("https://b.example/reviewer/"), Navigation::Show);
    EXPECT_EQ(origins.navigationTo("about:blank"), Navigation::Show);
    // Another port, scheme or host is another site.
    EXPECT_EQ(origins.navigationTo("http://server-a.example:8081/a/"), Navigation::OpenInSystemBrowser);
    EXPECT_EQ(origins.navigationTo("http://b.example/"), Navigation::OpenInSystemBrowser);
    EXPECT_EQ(origins.navigationTo("https://b.example.evil.example/"), Navigation::OpenInSystemBrowser);
    EXPECT_EQ(origins.navigationTo("https://b.example@evil.example/"), Navigation::OpenInSystemBrowser);
    EXPECT_EQ(origins.navigationTo("file:///home/teacher/"), Navigation::Refuse);
    EXPECT_EQ(origins.navigationTo("data:text/html,<p>x"), Navigation::Refuse);
    EXPECT_EQ(origins.navigationTo("about:config"), Navigation::Refuse);

    EXPECT_EQ(origins.deviceCookieOrigin("https://b.example/reviewer/?isWindows=1"), "https://b.example");
    EXPECT_EQ(origins.deviceCookieOrigin("http://server-a.example:8080/"), "http://server-a.example:8080");
    EXPECT_EQ(origins.deviceCookieOrigin("http://server-a.example/"), "");
    EXPECT_EQ(origins.deviceCookieOrigin("https://tracker.example/"), "");
    EXPECT_EQ(origins.deviceCookieOrigin("qrc:/vellox-browser/no-environment.html"), "");

    EXPECT_FALSE(ShellRules::devToolsAllowed("", ""));
    EXPECT_FALSE(ShellRules::devToolsAllowed("true", "yes"));
    EXPECT_TRUE(ShellRules::devToolsAllowed("1", ""));
    EXPECT_TRUE(ShellRules::devToolsAllowed("", "1"));
}

TEST(RotatingFile, KeepsItsFilesBelowTheBound)
{
    QTemporaryDir folder;
    const std::string path = folder.filePath("engine.log").toStdString();
    {
        RotatingFile log(path, 100, 3);
        const std::string line(40, 'x');
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(log.write((line + std::to_string(i) + "\n").data(), line.size() + 2));
    }
    const auto read = [](const std::string& name) {
        QFile file(QString::fromStdString(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    // Two lines a file, the newest in the file itself; three files in all.
    EXPECT_TRUE(read(path).endsWith("9\n"));
    EXPECT_EQ(read(path).count('\n'), 2);
    EXPECT_TRUE(read(RotatingFile::olderName(path, 1)).endsWith("7\n"));
    EXPECT_TRUE(read(RotatingFile::olderName(path, 2)).endsWith("5\n"));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(RotatingFile::olderName(path, 3))));
    // A new writer goes on where the file stands.
    RotatingFile again(path, 100, 3);
    ASSERT_TRUE(again.write("more\n", 5));
    EXPECT_EQ(read(path).count('\n'), 3);
    ASSERT_TRUE(again.write(std::string(60, 'y').data(), 60));
    EXPECT_EQ(read(path).size(), 60);
}

} // namespace
