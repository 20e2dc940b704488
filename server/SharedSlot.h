#pragma once
// A shared pointer that request threads read while another thread replaces it: the live-data
// overlay of a city, the snapshot of all cities.

#include <memory>
#include <mutex>
#include <utility>

namespace velmo {

// A reader copies the pointer under a short lock and uses the object without it. A store swaps
// the new pointer in under the same lock and lets go of the old one only after unlocking, so
// freeing a large object never holds up a reader. (GCC 12's std::atomic<std::shared_ptr> ends a
// load by releasing its internal lock with relaxed ordering, which does not order the load before
// the next store: a data race by the memory model, and ThreadSanitizer reports it.)
template <typename T>
class SharedSlot {
public:
    SharedSlot() = default;
    SharedSlot(const SharedSlot&) = delete;
    SharedSlot& operator=(const SharedSlot&) = delete;

    [[nodiscard]] std::shared_ptr<T> load() const {
        const std::lock_guard lock(mutex_);
        return value_;
    }
    // Puts `value` in and hands back the previous one, for the caller to release.
    [[nodiscard]] std::shared_ptr<T> exchange(std::shared_ptr<T> value) {
        {
            const std::lock_guard lock(mutex_);
            value_.swap(value);
        }
        return value;
    }
    // The previous value is released here, outside the lock.
    void store(std::shared_ptr<T> value) { [[maybe_unused]] const auto old = exchange(std::move(value)); }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<T> value_;
};

}  // namespace velmo
