// The data source manager's own thread, which hands source events to the application.
// Tasks wait until no DSM call is in progress, so an application never receives a callback
// while one of its own DSM calls is running on another thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace twaindsm {

class EventPump {
public:
    EventPump() = default;
    ~EventPump();
    EventPump(const EventPump &) = delete;
    EventPump &operator=(const EventPump &) = delete;

    // Stops the thread after the task it is running; later posts are dropped.
    void stop();
    void post(std::chrono::milliseconds delay, std::function<void()> task);
    void callStarted();
    void callEnded();
    bool onPumpThread() const { return std::this_thread::get_id() == thread_.get_id(); }

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> tasks_;
    int callsInProgress_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace twaindsm
