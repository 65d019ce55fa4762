// The data source manager's own thread, which hands source events to the application.
// Tasks wait until no DSM call is in progress, so an application never receives a callback
// while one of its own DSM calls is running on another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace twaindsm {

class EventPump {
public:
    EventPump() = default;
    ~EventPump() { unload(); }
    EventPump(const EventPump &) = delete;
    EventPump &operator=(const EventPump &) = delete;

    // Stops the thread after the task it is running and drops the tasks still waiting; the next
    // post starts a new thread. Called when the application closes the manager, so that no
    // thread of ours is left when it unloads the library.
    void stop();
    // The same when the library is unloaded, for good.
    void unload();
    void post(std::chrono::milliseconds delay, std::function<void()> task);
    void callStarted();
    void callEnded();
    bool onPumpThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run(uint64_t run);
    // Ends the current thread's run; joins it when `wait` and the caller is not that thread.
    void finishThread(bool wait);

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    int callsInProgress_ = 0;
    bool wakeAfterCalls_ = false;  // the thread is to be woken when the calls in progress end
    bool unloading_ = false;
    uint64_t run_ = 0;         // a thread whose number is no longer this one ends
    std::thread thread_;
    void *libraryHold_ = nullptr; // keeps the library loaded while thread_ runs
};

} // namespace twaindsm
