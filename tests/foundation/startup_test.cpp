#include "foundation/singleapp.h"
#include "foundation/singleton.h"
#include "foundation/startup.h"
#include "ui/mainwindow.h"

#include "wait.h"

#include <QCoreApplication>
#include <QSystemTrayIcon>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(Startup, HiddenOnlyForTheExactArgumentAfterTheProgramName)
{
    using KELStartup::startsHidden;
    EXPECT_TRUE(startsHidden({"vellox", "--hidden"}));
    EXPECT_FALSE(startsHidden({"vellox"}));
    EXPECT_FALSE(startsHidden({}));
    EXPECT_FALSE(startsHidden({"vellox", "--verbose"}));
    EXPECT_TRUE(startsHidden({"vellox", "--verbose", "--hidden"}));
    EXPECT_FALSE(startsHidden({"vellox", "--HIDDEN"}));
    EXPECT_FALSE(startsHidden({"--hidden"})); // the program name itself does not count
}

struct Counted {
    Counted() { ++constructed; }
    static inline std::atomic<int> constructed {0};
};

TEST(Startup, SingletonIsCreatedOnceUnderContention)
{
    std::vector<std::thread> threads;
    std::vector<Counted*> seen(16);
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = KELS::Singleton<Counted>::instance(); });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Counted::constructed.load(), 1);
    for (Counted* object : seen)
        EXPECT_EQ(object, seen.front());
}

TEST(Startup, SecondInstanceShowsTheFirstOnesWindow)
{
    const QString key = QStringLiteral("vellox-guard-test-%1").arg(QCoreApplication::applicationPid());
    SingleApp first(key);
    SingleApp probe(key);
    EXPECT_FALSE(probe.isRunning()); // nobody listens yet: answers at once
    ASSERT_TRUE(first.listen()) << first.errorString().toStdString();

    MainWindow controller;
    QObject::connect(&first, &SingleApp::newInstanceCreated, &controller, &MainWindow::slotShowMainView,
                     Qt::DirectConnection);
    controller.showMinimized();
    controller.hide();
    ASSERT_FALSE(controller.isVisible());

    SingleApp second(key);
    EXPECT_TRUE(second.isRunning());
    ASSERT_TRUE(vtest::waitUntil([&] { return controller.isVisible(); }));
    EXPECT_FALSE(controller.isMinimized());

    // Closing the window hides it and the agent lives on in the notification area; on a desktop
    // without one, nothing could reach a hidden agent, so it quits instead.
    controller.close();
    const bool trayAvailable = QSystemTrayIcon::isSystemTrayAvailable();
    EXPECT_EQ(controller.isVisible(), !trayAvailable);
    EXPECT_EQ(controller.isQuitting(), !trayAvailable);
}

} // namespace
