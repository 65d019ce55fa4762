#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// A program the shell starts that cannot outlive it: however the shell ends, even killed, the
// system ends the program too (the platform's part). Programs that it starts in turn may leave
// that tie on purpose, as the agent's installer does. Its own end can be watched.
class TiedProcess {
public:
    struct Command {
        std::filesystem::path program;
        std::vector<std::string> arguments; // UTF-8, after the program's name
        std::filesystem::path workingFolder;
        bool discardOutput = false; // its standard output and error go nowhere instead of the shell's
    };

    static constexpr int kDefaultGraceMs = 3000;

    TiedProcess();
    ~TiedProcess(); // terminates with the default grace
    TiedProcess(const TiedProcess&) = delete;
    TiedProcess& operator=(const TiedProcess&) = delete;

    // False with `error` said (naming the program or folder) when it could not be started.
    // Call from the main thread: on some systems the tie follows the thread that starts it.
    bool start(const Command& command, std::string& error);
    bool isStarted() const { return native != nullptr; }
    std::int64_t processId() const;

    // From now on `ended` is called once, from a thread of its own, when the program ends by
    // itself; never after terminate() has begun.
    void watch(std::function<void()> ended);
    // True once the program has ended (without collecting it); waits up to `timeoutMs`.
    bool waitForEnd(int timeoutMs);
    // Asks the program to quit, ends it after `graceMs` if it has not, and collects it.
    void terminate(int graceMs);

    class Native; // the platform's process handling

private:
    std::unique_ptr<Native> native;
};
