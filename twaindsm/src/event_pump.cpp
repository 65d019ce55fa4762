#include "event_pump.h"

namespace twaindsm {

EventPump::~EventPump()
{
    stop();
}

void EventPump::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        if (onPumpThread())
            thread_.detach();
        else
            thread_.join();
    }
}

void EventPump::post(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_)
            return;
        tasks_.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
        --callsInProgress_;
    }
    wake_.notify_all();
}

void EventPump::run()
{
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
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
