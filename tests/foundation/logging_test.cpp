#include "foundation/logging.h"
#include "foundation/startup.h"

#include "wait.h"

#include <QDate>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

QString readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TEST(Logging, LevelSettingMapping)
{
    EXPECT_EQ(KELStartup::logLevelSetting(""), 0);
    EXPECT_EQ(KELStartup::logLevelSetting("abc"), 0);
    EXPECT_EQ(KELLog::levelFromSetting(KELStartup::logLevelSetting("")), spdlog::level::trace);
    EXPECT_EQ(KELLog::levelFromSetting(2), spdlog::level::info);
    EXPECT_EQ(KELLog::levelFromSetting(5), spdlog::level::critical);
    EXPECT_EQ(KELLog::levelFromSetting(6), spdlog::level::off);
    EXPECT_EQ(KELLog::levelFromSetting(-1), spdlog::level::off);
}

TEST(Logging, WarningReachesTheDiskWithoutWaitingForTheFlushAndLevelFilters)
{
    QTemporaryDir dir;
    KELLog::initLogging(dir.path(), 2);
    const QString file = dir.path() + "/vellox-" + QDate::currentDate().toString("yyyyMMdd") + ".log";

    KLOG->debug("hidden debug line");
    KLOG->info("info line {}", QStringLiteral("扫描"));
    KLOG->warn("warning line {}", 42);
    // Written by the logger's own thread; the periodic flush is ten seconds away.
    QString text;
    EXPECT_TRUE(vtest::waitUntil([&] { return (text = readAll(file)).contains("warning line"); }));
    EXPECT_TRUE(text.contains("][warning][thread:")) << text.toStdString();
    EXPECT_TRUE(text.contains(":warning line 42"));
    // The warning's flush takes the info line written before it along.
    EXPECT_TRUE(text.contains("info line 扫描"));
    EXPECT_FALSE(text.contains("hidden debug line"));
    EXPECT_TRUE(QRegularExpression(R"(^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\]\[info\])").match(text).hasMatch());

    KELLog::initLogging(dir.path(), 6);
    KLOG->critical("never written");
    KLOG->flush();
    spdlog::drop(KELLog::kLoggerName);
    spdlog::shutdown();  // every queued line is written before this returns
    EXPECT_FALSE(readAll(file).contains("never written"));
}

TEST(Logging, ManyLinesFromSeveralThreadsArriveWholeAndInOrder)
{
    // Far more than one write's worth: the file is written in chunks of whole lines.
    constexpr int kThreads = 3;
    constexpr int kLines = 4000;
    QTemporaryDir dir;
    KELLog::initLogging(dir.path(), 0);
    const QString file = dir.path() + "/vellox-" + QDate::currentDate().toString("yyyyMMdd") + ".log";
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int n = 0; n < kLines; ++n)
                KLOG->info("thread {} line {} {}", t, n, std::string(size_t(n % 200), 'x'));
        });
    for (std::thread& thread : threads)
        thread.join();
    spdlog::drop(KELLog::kLoggerName);
    spdlog::shutdown(); // every queued line is written before this returns

    std::vector<int> next(kThreads, 0);
    const QStringList lines = readAll(file).split('\n', Qt::SkipEmptyParts);
    const QRegularExpression shape(R"(^\[[^]]+\]\[info\]\[thread:\d+\]:thread (\d) line (\d+) (x*)$)");
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = shape.match(line);
        ASSERT_TRUE(match.hasMatch()) << line.toStdString();
        const int t = match.captured(1).toInt();
        const int n = match.captured(2).toInt();
        ASSERT_EQ(n, next[size_t(t)]) << "thread " << t;
        ASSERT_EQ(match.captured(3).size(), n % 200);
        ++next[size_t(t)];
    }
    EXPECT_EQ(next, std::vector<int>(kThreads, kLines));
}

TEST(Logging, SilentBeforeInitialisation)
{
    spdlog::drop(KELLog::kLoggerName);
    ASSERT_NE(KLOG, nullptr);
    KLOG->error("goes nowhere {}", 1);
}

TEST(Logging, OutsideTextIsCutToOneKibibyteWithItsLength)
{
    EXPECT_EQ(KELLog::clipped(QByteArray("short")), "short");
    EXPECT_EQ(KELLog::clipped(QString(1024, 'a')), QByteArray(1024, 'a'));
    EXPECT_EQ(KELLog::clipped(QString(7 * 1024 * 1024, 'a')), QByteArray(1024, 'a') + "... (7340032 bytes)");
    EXPECT_EQ(KELLog::clipped(QByteArray(2000, 'b')), QByteArray(1024, 'b') + "... (2000 bytes)");
    // Cut between characters, never inside one: 400 three-byte characters are 1200 bytes.
    const QByteArray chinese = KELLog::clipped(QString(400, QChar(0x626B)));
    EXPECT_EQ(chinese, QString(341, QChar(0x626B)).toUtf8() + "... (1200 bytes)");
    EXPECT_EQ(QString::fromUtf8(chinese).toUtf8(), chinese);
}

} // namespace
