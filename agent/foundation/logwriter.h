#pragma once

#include <spdlog/sinks/base_sink.h>

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace KELLog {

// A sink that only formats and queues a line on the thread that logs it; a thread of its own
// hands the queued lines to `target` (the log file) a batch at a time: at a flush (a warning,
// the periodic flush), when many lines wait, and at least every quarter second. A thread that
// logs never waits for the disk, nor for another thread in the middle of a write, and logging a
// line wakes nobody.
class BackgroundWriterSink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    // `target` is used by the writer thread alone.
    explicit BackgroundWriterSink(std::shared_ptr<spdlog::sinks::sink> target);
    // Writes every queued line first.
    ~BackgroundWriterSink() override;

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override;

private:
    void run();
    void write(const std::string& lines);

    std::shared_ptr<spdlog::sinks::sink> target;
    // Guarded by base_sink's mutex_.
    std::condition_variable due;
    std::string queued; // formatted lines, line ends included
    std::size_t queuedLines = 0;
    std::size_t dropped = 0;
    bool flushRequested = false;
    bool stopping = false;
    std::thread writer;
};

} // namespace KELLog
