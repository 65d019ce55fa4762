#include "event_pump.h"

#include "platform.h"

namespace twaindsm {

void EventPump::unload()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        unloading_ = true;
    }
    finishThread(true);
}

void EventPump::stop()
{
    finishThread(true);
}

void EventPump::finishThread(bool wait)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++run_;
        tasks_.clear();
    }
    wake_.notify_all();
    if (!thread_.joinable())
        return;
    if (wait && !onPumpThread()) {
        thread_.join();
        releaseLibrary(libraryHold_);
    } else {
        // The thread ends by itself once it sees its run is over. Its hold on the library stays:
        // its code must not go away under it.
        thread_.detach();
    }
    libraryHold_ = nullptr;
}

void EventPump::post(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (unloading_)
            return;
        tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
        if (!thread_.joinable()) {
            libraryHold_ = holdLibrary();
            thread_ = std::thread([this, run = run_] { this->run(run); });
        }
        // Posted from inside a call (the usual case): the thread hears of it when the call ends.
        if (callsInProgress_ > 0) {
            wakeAfterCalls_ = true;
            return;
        }
    }
    wake_.notify_all();
}

void EventPump::callStarted()
{
    std::lock_guard<std::mutex> lock(mutex_);
    ++callsInProgress_;
}

void EventPump::callEnded()
{
    bool due = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        due = --callsInProgress_ == 0 && wakeAfterCalls_;
        if (due)
            wakeAfterCalls_ = false;
    }
    // Only a task held back by the call needs the news: waking the thread after every call
    // would take the processor from the application's thread, call after call.
    if (due)
        wake_.notify_all();
}

void EventPump::run(uint64_t run)
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (run_ == run) {
        if (tasks_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = tasks_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        if (callsInProgress_ > 0) {
            wakeAfterCalls_ = true;
            wake_.wait(lock);
            continue;
        }
        std::function<void()> task = std::move(tasks_.begin()->second);
        tasks_.erase(tasks_.begin());
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace twaindsm
