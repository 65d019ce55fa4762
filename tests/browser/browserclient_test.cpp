#include "browserclient.h"

#include <QAction>
#include <QKeyEvent>
#include <QMenu>

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

TEST(BrowserClient, SeesKeysWithWindowsCodesAndCefFlags)
{
    const BrowserClient::KeyEvent k = press(Qt::Key_K, Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier);
    EXPECT_EQ(k.windowsKeyCode, 75);
    EXPECT_EQ(k.modifiers, 0x2 | 0x4 | 0x8);
    EXPECT_EQ(press(Qt::Key_F12).windowsKeyCode, 123);
    EXPECT_EQ(press(Qt::Key_F12, Qt::KeypadModifier).modifiers, 0);
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

TEST(BrowserClient, TellsOnlyTheShellsOwnServersWhoThisPcIs)
{
    ShellConfig config;
    config.environments = {{"a", "", "http://Server-A.example:8080/a/"}, {"b", "", "https://b.example"}};
    const std::string builtIn = "https://front.example/";
    EXPECT_TRUE(BrowserClient::mayTagPage(QUrl("http://server-a.example:8080/a/reviewer/"), config, builtIn));
    EXPECT_TRUE(BrowserClient::mayTagPage(QUrl("https://b.example/elsewhere"), config, builtIn));
    EXPECT_TRUE(BrowserClient::mayTagPage(QUrl("https://front.example/reviewer/"), config, builtIn));
    EXPECT_FALSE(BrowserClient::mayTagPage(QUrl("https://tracker.example/"), config, builtIn));
    EXPECT_FALSE(BrowserClient::mayTagPage(QUrl("https://b.example.evil.example/"), config, builtIn));
    // The built-in page has no host, and neither has an empty built-in address.
    EXPECT_FALSE(BrowserClient::mayTagPage(QUrl("qrc:/vellox-browser/no-environment.html"), config, ""));
    EXPECT_FALSE(BrowserClient::mayTagPage(QUrl("file:///tmp/page.html"), {}, ""));
}

} // namespace
