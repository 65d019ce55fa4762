#include "logcapture.h"

#include "foundation/logging.h"

#include <spdlog/sinks/base_sink.h>

#include <mutex>

namespace vtest {

class LogCapture::Sink : public spdlog::sinks::base_sink<std::mutex> {
public:
    QStringList snapshot()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return captured;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& message) override
    {
        spdlog::memory_buf_t formatted;
        formatter_->format(message, formatted);
        QString line = QString::fromUtf8(formatted.data(), int(formatted.size()));
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        captured.append(line);
    }
    void flush_() override {}

private:
    QStringList captured;
};

LogCapture::LogCapture()
    : sink(std::make_shared<Sink>())
    , previous(spdlog::get(KELLog::kLoggerName))
{
    sink->set_pattern("[%l] %v");
    auto logger = std::make_shared<spdlog::logger>(KELLog::kLoggerName, sink);
    logger->set_level(spdlog::level::trace);
    spdlog::drop(KELLog::kLoggerName);
    spdlog::register_logger(std::move(logger));
}

LogCapture::~LogCapture()
{
    spdlog::drop(KELLog::kLoggerName);
    if (previous)
        spdlog::register_logger(previous);
}

QStringList LogCapture::lines() const
{
    return sink->snapshot();
}

QStringList LogCapture::linesContaining(const QString& text) const
{
    return lines().filter(text);
}

} // namespace vtest
