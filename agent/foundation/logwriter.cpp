#include "foundation/logwriter.h"

#include <spdlog/pattern_formatter.h>

#include <chrono>
#include <utility>

namespace KELLog {

namespace {
constexpr std::size_t kLinesThatWakeTheWriter = 512;
// A disk that stops taking lines must not take the agent's memory with it.
constexpr std::size_t kMostQueuedLines = 100000;
constexpr auto kLongestWait = std::chrono::milliseconds(250);
} // namespace

BackgroundWriterSink::BackgroundWriterSink(std::shared_ptr<spdlog::sinks::sink> target)
    : target(std::move(target))
{
    // The lines arrive formatted, line end included.
    this->target->set_formatter(std::make_unique<spdlog::pattern_formatter>("%v", spdlog::pattern_time_type::local, ""));
    writer = std::thread([this] { run(); });
}

BackgroundWriterSink::~BackgroundWriterSink()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping = true;
    }
    due.notify_one();
    writer.join();
}

void BackgroundWriterSink::sink_it_(const spdlog::details::log_msg& msg)
{
    if (queued.size() >= kMostQueuedLines) {
        ++dropped;
        return;
    }
    spdlog::memory_buf_t text;
    formatter_->format(msg, text);
    queued.push_back(Line { msg.level, std::string(text.data(), text.size()) });
    if (queued.size() == kLinesThatWakeTheWriter)
        due.notify_one();
}

void BackgroundWriterSink::flush_()
{
    flushRequested = true;
    due.notify_one();
}

void BackgroundWriterSink::run()
{
    std::vector<Line> batch;
    for (;;) {
        bool flush = false;
        bool last = false;
        std::size_t droppedNow = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            due.wait_for(lock, kLongestWait, [this] {
                return stopping || flushRequested || queued.size() >= kLinesThatWakeTheWriter;
            });
            batch.swap(queued);
            flush = std::exchange(flushRequested, false);
            droppedNow = std::exchange(dropped, 0);
            last = stopping;
        }
        for (const Line& line : batch)
            target->log(spdlog::details::log_msg(spdlog::string_view_t(), line.level, line.text));
        if (droppedNow > 0) {
            const std::string note = "[log] " + std::to_string(droppedNow) + " lines were dropped: the log file took no more\n";
            target->log(spdlog::details::log_msg(spdlog::string_view_t(), spdlog::level::warn, note));
        }
        if (flush || last || !batch.empty())
            target->flush();
        batch.clear();
        if (last)
            return;
    }
}

} // namespace KELLog
