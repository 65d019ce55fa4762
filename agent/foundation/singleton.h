#pragma once

#include <atomic>
#include <mutex>

namespace KELS {

// One process-wide object per manager type, created on first use and never destroyed.
template <typename T>
class Singleton {
public:
    static T* instance()
    {
        T* object = pointer.load(std::memory_order_acquire);
        if (!object) {
            std::lock_guard<std::mutex> lock(creation);
            object = pointer.load(std::memory_order_relaxed);
            if (!object) {
                object = new T();
                pointer.store(object, std::memory_order_release);
            }
        }
        return object;
    }

private:
    static inline std::atomic<T*> pointer {nullptr};
    static inline std::mutex creation;
};

} // namespace KELS
