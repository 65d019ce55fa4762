#include "foundation/logging.h"

#include <QDate>
#include <QFile>

#include <spdlog/sinks/null_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <chrono>

namespace KELLog {

namespace {
constexpr size_t kRotateBytes = 31457280; // 30 MiB
constexpr size_t kRotatedFiles = 10;
constexpr auto kFlushEvery = std::chrono::seconds(10);

std::shared_ptr<spdlog::logger> silentLogger()
{
    static const auto silent = std::make_shared<spdlog::logger>(
        "silent", std::make_shared<spdlog::sinks::null_sink_mt>());
    return silent;
}
} // namespace

spdlog::level::level_enum levelFromSetting(int value)
{
    switch (value) {
    case 0: return spdlog::level::trace;
    case 1: return spdlog::level::debug;
    case 2: return spdlog::level::info;
    case 3: return spdlog::level::warn;
    case 4: return spdlog::level::err;
    case 5: return spdlog::level::critical;
    default: return spdlog::level::off;
    }
}

void initLogging(const QString& logFolder, int level)
{
    const QString fileName = QStringLiteral("vellox-%1.log")
                                 .arg(QDate::currentDate().toString(QStringLiteral("yyyyMMdd")));
    const QString path = logFolder + QLatin1Char('/') + fileName;

    auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
        QFile::encodeName(path).toStdString(), kRotateBytes, kRotatedFiles, false);
    auto logger = std::make_shared<spdlog::logger>(kLoggerName, std::move(sink));
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e][%l][thread:%t]:%v", spdlog::pattern_time_type::local);
    spdlog::flush_every(kFlushEvery);
    logger->set_level(levelFromSetting(level));
    logger->flush_on(spdlog::level::warn);

    spdlog::drop(kLoggerName);
    spdlog::register_logger(std::move(logger));
}

std::shared_ptr<spdlog::logger> logger()
{
    if (auto registered = spdlog::get(kLoggerName))
        return registered;
    return silentLogger();
}

} // namespace KELLog
