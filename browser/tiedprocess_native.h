#pragma once

#include "tiedprocess.h"

// One started program, on the platform's terms.
class TiedProcess::Native {
public:
    // The platform's start; empty with `error` said when the program could not be started.
    static std::unique_ptr<Native> start(const Command& command, std::string& error);

    virtual ~Native() = default; // terminates with the default grace
    virtual std::int64_t processId() const = 0;
    virtual void watch(std::function<void()> ended) = 0;
    virtual bool waitForEnd(int timeoutMs) = 0;
    virtual void terminate(int graceMs) = 0;
};
