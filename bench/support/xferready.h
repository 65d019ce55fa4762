// What the benchmarks share as TWAIN applications: MSG_XFERREADY through the DSM's callback, and
// durations in seconds.
#pragma once

#include "twain.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace bench {

class XferReady {
public:
    // The callback to register with DG_CONTROL / DAT_CALLBACK2 / MSG_REGISTER_CALLBACK.
    static TW_UINT16 TW_CALLINGSTYLE callback(pTW_IDENTITY, pTW_IDENTITY, TW_UINT32, TW_UINT16, TW_UINT16 msg, TW_MEMREF)
    {
        if (msg == MSG_XFERREADY) {
            std::lock_guard<std::mutex> lock(mutex());
            ready() = true;
            arrived().notify_all();
        }
        return TWRC_SUCCESS;
    }
    // Before MSG_ENABLEDS.
    static void expect()
    {
        std::lock_guard<std::mutex> lock(mutex());
        ready() = false;
    }
    static void wait()
    {
        std::unique_lock<std::mutex> lock(mutex());
        arrived().wait(lock, [] { return ready(); });
    }

private:
    static std::mutex &mutex() { static std::mutex m; return m; }
    static std::condition_variable &arrived() { static std::condition_variable c; return c; }
    static bool &ready() { static bool r = false; return r; }
};

inline double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

} // namespace bench
