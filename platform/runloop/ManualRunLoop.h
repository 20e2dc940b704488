#pragma once
// A run loop for tests: a virtual clock that moves only when told, timers that fire in order
// of deadline (then of scheduling), and posted work that runs on runPending() or advance().

#include "platform/runloop/RunLoop.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace velmo {

class ManualRunLoop final : public RunLoop {
public:
    explicit ManualRunLoop(TimePoint start = TimePoint{std::chrono::seconds{1'700'000'000}});
    ~ManualRunLoop() override;

    std::shared_ptr<Timer> scheduleTimer(Seconds interval, std::function<void()> fire) override;
    void post(std::function<void()> work) override;
    // Inline on the thread that created the loop; from another thread the work is queued
    // and this call waits until the owner runs it (runPending/advance).
    void runOnMainAndWait(std::function<void()> work) override;
    TimePoint now() const override;

    // Runs posted work (including work posted meanwhile) until the queue is empty.
    // Returns how many functions ran.
    std::size_t runPending();
    // Moves the clock forward by `by`, firing every timer whose deadline is reached on the way
    // (the clock stands at each deadline while its timer runs) and running posted work between.
    void advance(Seconds by);
    // Timers scheduled and not yet fired or invalidated.
    std::size_t activeTimerCount() const;

private:
    struct TimerState;
    class Handle;
    std::shared_ptr<TimerState> nextDueTimer(TimePoint limit);

    mutable std::mutex mutex_;
    TimePoint now_;
    std::uint64_t nextSequence_ = 0;
    std::vector<std::shared_ptr<TimerState>> timers_;
    std::deque<std::function<void()>> posted_;
    std::thread::id owner_;
};

}  // namespace velmo
