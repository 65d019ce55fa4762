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

void RotatingFile::keepOlder(const std::filesystem::path& path, int files)
{
    const auto older = [&path](int age) {
        std::filesystem::path name = path;
        return name += "." + std::to_string(age);
    };
    std::error_code ignored;
    // Removed first: renaming onto an existing file fails on some systems.
    std::filesystem::remove(older(files - 1), ignored);
    for (int age = files - 2; age >= 1; --age)
        std::filesystem::rename(older(age), older(age + 1), ignored);
    if (files > 1)
        std::filesystem::rename(path, older(1), ignored);
    else
        std::filesystem::remove(path, ignored);
}

void RotatingFile::rotate()
{
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    keepOlder(path, files);
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
