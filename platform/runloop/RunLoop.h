#pragma once
// The main run loop as the core sees it: one-shot timers, work posted to the main thread,
// and the clock. Plain C++ so that the core never includes a Qt header; QtRunLoop.h and
// ManualRunLoop.h are the backends. There is no process-wide loop: each program's
// composition root makes one and hands it to whatever needs it.

#include <chrono>
#include <functional>
#include <memory>

namespace velmo {

// A one-shot timer scheduled on a run loop. The loop keeps it until it has fired or been
// invalidated, so dropping the handle does not cancel it.
class Timer {
public:
    virtual ~Timer() = default;
    // Stops the timer; its function will not run. Safe to call more than once, or after it fired.
    virtual void invalidate() = 0;
    // True until the timer has fired or been invalidated.
    virtual bool isValid() const = 0;
};

class RunLoop {
public:
    using Clock = std::chrono::system_clock;
    using TimePoint = Clock::time_point;
    using Seconds = std::chrono::duration<double>;

    virtual ~RunLoop() = default;

    // Runs `fire` once on the main thread after `interval` (a negative interval counts as 0).
    // Never runs it inside this call.
    virtual std::shared_ptr<Timer> scheduleTimer(Seconds interval, std::function<void()> fire) = 0;
    // Queues `work` to run on the main thread later, never inside this call.
    virtual void post(std::function<void()> work) = 0;
    // Runs `work` on the main thread and returns when it has run. Called on the main thread
    // it runs inline, so it can never wait for itself.
    virtual void runOnMainAndWait(std::function<void()> work) = 0;
    // The wall clock of this loop (virtual in tests).
    virtual TimePoint now() const = 0;
};

}  // namespace velmo
