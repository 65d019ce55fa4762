#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace spdlog {
class logger;
}

namespace vtest {

// Collects what the agent logs in this process while the object lives: it registers a
// logger under the agent logger's name (KLOG finds it) and puts the earlier one back at the end.
// Lines read "[level] message", e.g. "[error] Curl perform error, …".
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    QStringList lines() const;
    QStringList linesContaining(const QString& text) const;
    bool contains(const QString& text) const { return !linesContaining(text).isEmpty(); }

private:
    class Sink;
    std::shared_ptr<Sink> sink;
    std::shared_ptr<spdlog::logger> previous;
};

} // namespace vtest
