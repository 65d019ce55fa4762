#include "plainlog.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>

namespace {
// "[yyyy-MM-dd HH:mm:ss.zzz] " or "[HH:mm:ss.zzz] " for now, in local time.
std::string stampNow(PlainLog::Stamp stamp)
{
    static std::mutex localtimeLock; // std::localtime shares one result between threads
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const int milliseconds = int(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm local {};
    {
        const std::lock_guard<std::mutex> locked(localtimeLock);
        if (const std::tm* converted = std::localtime(&seconds))
            local = *converted;
    }
    char text[40];
    if (stamp == PlainLog::Stamp::DateAndTime)
        std::snprintf(text, sizeof text, "[%04d-%02d-%02d %02d:%02d:%02d.%03d] ", local.tm_year + 1900,
                      local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, milliseconds);
    else
        std::snprintf(text, sizeof text, "[%02d:%02d:%02d.%03d] ", local.tm_hour, local.tm_min, local.tm_sec,
                      milliseconds);
    return text;
}

} // namespace

void PlainLog::setPath(const std::filesystem::path& path)
{
    const std::lock_guard<std::mutex> locked(mutex);
    filePath = path;
}

void PlainLog::write(std::string_view message)
{
    const std::string line = stampNow(stamp) + std::string(message) + '\n';
    const std::lock_guard<std::mutex> locked(mutex);
    if (!triedToOpen) {
        triedToOpen = true;
        if (!filePath.empty())
            file.open(filePath, std::ios::out | std::ios::app | std::ios::binary);
    }
    if (!file.is_open())
        return;
    file.clear(); // a full disk now does not silence the log for good
    // One write per line, so lines of two processes appending at once never interleave.
    file.write(line.data(), std::streamsize(line.size()));
    file.flush();
}

namespace {
PlainLog& startupLog()
{
    static PlainLog log(PlainLog::Stamp::DateAndTime);
    return log;
}
} // namespace

void setShellLogPath(const std::filesystem::path& path)
{
    startupLog().setPath(path);
}

void shellLog(std::string_view message)
{
    startupLog().write(message);
}
