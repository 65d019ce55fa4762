#include "rotatingfile.h"

#include <utility>

RotatingFile::RotatingFile(std::string path, std::size_t maxBytes, int files)
    : path(std::move(path))
    , maxBytes(maxBytes)
    , files(files < 1 ? 1 : files)
{
}

RotatingFile::~RotatingFile()
{
    if (file)
        std::fclose(file);
}

std::string RotatingFile::olderName(const std::string& path, int age)
{
    return path + "." + std::to_string(age);
}

bool RotatingFile::open()
{
    if (file)
        return true;
    file = std::fopen(path.c_str(), "ab");
    if (!file)
        return false;
    std::fseek(file, 0, SEEK_END);
    const long at = std::ftell(file);
    size = at > 0 ? std::size_t(at) : 0;
    return true;
}

void RotatingFile::rotate()
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    // Removed first: renaming onto an existing file fails on some systems.
    std::remove(olderName(path, files - 1).c_str());
    for (int age = files - 2; age >= 1; --age)
        std::rename(olderName(path, age).c_str(), olderName(path, age + 1).c_str());
    if (files > 1)
        std::rename(path.c_str(), olderName(path, 1).c_str());
    else
        std::remove(path.c_str());
    size = 0;
}

bool RotatingFile::write(const char* data, std::size_t length)
{
    if (!open())
        return false;
    if (size > 0 && size + length > maxBytes) {
        rotate();
        if (!open())
            return false;
    }
    const std::size_t written = std::fwrite(data, 1, length, file);
    size += written;
    std::fflush(file);
    return written == length;
}
