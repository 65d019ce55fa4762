#include "foundation/logwriter.h"

#include <spdlog/pattern_formatter.h>

#include <algorithm>
#include <chrono>
#include <utility>

namespace KELLog {

namespace {
constexpr std::size_t kLinesThatWakeTheWriter = 512;
// A disk that stops taking lines must not take the agent's memory with it.
constexpr std::size_t kMostQueuedLines = 100000;
constexpr auto kLongestWait = std::chrono::milliseconds(250);
constexpr std::size_t kChunkBytes = 64 * 1024;
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
    if (queuedLines >= kMostQueuedLines) {
        ++dropped;
        return;
    }
    spdlog::memory_buf_t line;
    formatter_->format(msg, line);
    queued.append(line.data(), line.size());
    if (++queuedLines == kLinesThatWakeTheWriter)
        due.notify_one();
}

void BackgroundWriterSink::flush_()
{
    flushRequested = true;
    due.notify_one();
}

void BackgroundWriterSink::write(const std::string& lines)
{
    // In chunks of whole lines rather than a call per line, which cost the writer more than the
    // lines cost the threads that logged them; a chunk never straddles a rotation of the file.
    std::size_t from = 0;
    while (from < lines.size()) {
        std::size_t end = lines.find('\n', std::min(lines.size() - 1, from + kChunkBytes));
        end = end == std::string::npos ? lines.size() : end + 1;
        target->log(spdlog::details::log_msg(spdlog::string_view_t(), spdlog::level::info,
                                             spdlog::string_view_t(lines.data() + from, end - from)));
        from = end;
    }
}

void BackgroundWriterSink::run()
{
    std::string batch;
    for (;;) {
        bool flush = false;
        bool last = false;
        std::size_t droppedNow = 0;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            due.wait_for(lock, kLongestWait, [this] {
                return stopping || flushRequested || queuedLines >= kLinesThatWakeTheWriter;
            });
            batch.swap(queued);
            queuedLines = 0;
            flush = std::exchange(flushRequested, false);
            droppedNow = std::exchange(dropped, 0);
            last = stopping;
        }
        write(batch);
        if (droppedNow > 0)
            write("[log] " + std::to_string(droppedNow) + " lines were dropped: the log file took no more\n");
        if (flush || last || !batch.empty() || droppedNow > 0)
            target->flush();
        batch.clear();
        if (last)
            return;
    }
}

} // namespace KELLog
