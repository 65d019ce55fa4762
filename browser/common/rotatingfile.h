#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>

// A log file that never grows past a bound: once `path` would exceed `maxBytes`, it becomes
// "path.1" (which becomes "path.2", and so on) and a new `path` begins; `files` files are kept
// in all, the oldest dropped. Plain C++, for logs that other programs' output lands in.
// One writer at a time; not thread-safe.
class RotatingFile {
public:
    RotatingFile(std::string path, std::size_t maxBytes, int files);
    ~RotatingFile();
    RotatingFile(const RotatingFile&) = delete;
    RotatingFile& operator=(const RotatingFile&) = delete;

    // Appends and flushes; false when the file cannot be opened or written.
    bool write(const char* data, std::size_t size);

    static std::string olderName(const std::string& path, int age); // "path.age"
    // Moves `path` to "path.1", each older one a place further, keeping `files` in all (the
    // oldest dropped): for a log that another program starts afresh at each of its starts.
    static void keepOlder(const std::filesystem::path& path, int files);

private:
    bool open();
    void rotate();

    std::string path;
    std::size_t maxBytes;
    int files;
    std::FILE* file = nullptr;
    std::size_t size = 0;
};
