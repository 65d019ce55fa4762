// Stands in for `vellox` in tests of how the shell starts the agent. It writes what it was
// given to the file named by VELLOX_STANDIN_REPORT, as lines "key value", then behaves as
// VELLOX_STANDIN_MODE says: "exit" ends at once, "ignore-term" ignores SIGTERM and waits,
// anything else waits for a signal.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <dirent.h>
#include <string>
#include <unistd.h>

namespace {
std::string statusLine(const char* key)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    char line[512];
    std::string value;
    while (status && std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, key, std::strlen(key)) == 0) {
            value = line + std::strlen(key);
            value.erase(0, value.find_first_not_of(" \t"));
            value.erase(value.find_last_not_of("\n") + 1);
        }
    }
    if (status)
        std::fclose(status);
    return value;
}
} // namespace

int main(int argc, char** argv)
{
    const char* mode = std::getenv("VELLOX_STANDIN_MODE");
    const bool ignoreTerm = mode && std::strcmp(mode, "ignore-term") == 0;
    const bool exitAtOnce = mode && std::strcmp(mode, "exit") == 0;
    // Before anything else, so the report reflects what the shell handed over.
    const std::string blocked = statusLine("SigBlk:");
    const std::string ignored = statusLine("SigIgn:");
    std::string descriptors;
    if (DIR* folder = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(folder)) {
            if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == dirfd(folder))
                continue;
            descriptors += std::string(descriptors.empty() ? "" : ",") + entry->d_name;
        }
        closedir(folder);
    }
    if (ignoreTerm)
        std::signal(SIGTERM, SIG_IGN);

    if (const char* reportPath = std::getenv("VELLOX_STANDIN_REPORT")) {
        const std::string partial = std::string(reportPath) + ".part";
        if (FILE* report = std::fopen(partial.c_str(), "w")) {
            std::fprintf(report, "pid %d\n", int(getpid()));
            for (int i = 0; i < argc; ++i)
                std::fprintf(report, "arg %s\n", argv[i]);
            char cwd[4096] = {};
            std::fprintf(report, "cwd %s\n", getcwd(cwd, sizeof cwd) ? cwd : "");
            std::fprintf(report, "fds %s\n", descriptors.c_str());
            std::fprintf(report, "blocked %s\n", blocked.c_str());
            std::fprintf(report, "ignored %s\n", ignored.c_str());
            std::fclose(report);
            std::rename(partial.c_str(), reportPath); // whole or not at all
        }
    }
    if (exitAtOnce)
        return 3;
    for (;;)
        pause();
}
