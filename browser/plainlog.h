#pragma once

#include <filesystem>
#include <fstream>
#include <mutex>
#include <string_view>

// A plain text log of the shell: one line per message (UTF-8) behind a local-time stamp,
// appended and flushed at once, so a line survives a crash right after it. The file is opened
// on the first line; when it cannot be opened, lines are dropped. Any thread may write.
class PlainLog {
public:
    enum class Stamp {
        DateAndTime, // "[yyyy-MM-dd HH:mm:ss.zzz] "
        TimeOnly,    // "[HH:mm:ss.zzz] "
    };

    explicit PlainLog(Stamp stamp) : stamp(stamp) {}
    PlainLog(const PlainLog&) = delete;
    PlainLog& operator=(const PlainLog&) = delete;

    void setPath(const std::filesystem::path& path);
    void write(std::string_view message);

private:
    const Stamp stamp;
    std::mutex mutex;
    std::filesystem::path filePath;
    std::ofstream file;
    bool triedToOpen = false;
};

// The shell's start-up log, browser_debug.log.
void setShellLogPath(const std::filesystem::path& path);
void shellLog(std::string_view message);
