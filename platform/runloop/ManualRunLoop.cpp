#include "platform/runloop/ManualRunLoop.h"

#include <algorithm>
#include <condition_variable>
#include <future>

namespace velmo {

struct ManualRunLoop::TimerState {
    TimePoint deadline;
    std::uint64_t sequence = 0;
    std::function<void()> fire;
    bool valid = true;
};

class ManualRunLoop::Handle final : public Timer {
public:
    Handle(ManualRunLoop& loop, std::shared_ptr<TimerState> state) : loop_(loop), state_(std::move(state)) {}

    void invalidate() override {
        std::function<void()> dropped;
        {
            std::lock_guard lock(loop_.mutex_);
            state_->valid = false;
            dropped = std::move(state_->fire);
            auto& timers = loop_.timers_;
            timers.erase(std::remove(timers.begin(), timers.end(), state_), timers.end());
        }
        // `dropped` (and what it captured) is released outside the lock.
    }

    bool isValid() const override {
        std::lock_guard lock(loop_.mutex_);
        return state_->valid;
    }

private:
    ManualRunLoop& loop_;
    std::shared_ptr<TimerState> state_;
};

ManualRunLoop::ManualRunLoop(TimePoint start) : now_(start), owner_(std::this_thread::get_id()) {}

ManualRunLoop::~ManualRunLoop() = default;

std::shared_ptr<Timer> ManualRunLoop::scheduleTimer(Seconds interval, std::function<void()> fire) {
    auto state = std::make_shared<TimerState>();
    state->fire = std::move(fire);
    std::lock_guard lock(mutex_);
    const Seconds delay = std::max(interval, Seconds{0});
    state->deadline = now_ + std::chrono::duration_cast<Clock::duration>(delay);
    state->sequence = nextSequence_++;
    timers_.push_back(state);
    return std::make_shared<Handle>(*this, state);
}

void ManualRunLoop::post(std::function<void()> work) {
    std::lock_guard lock(mutex_);
    posted_.push_back(std::move(work));
}

void ManualRunLoop::runOnMainAndWait(std::function<void()> work) {
    if (std::this_thread::get_id() == owner_) {
        work();
        return;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    post([work = std::move(work), done] {
        work();
        done->set_value();
    });
    finished.wait();
}

RunLoop::TimePoint ManualRunLoop::now() const {
    std::lock_guard lock(mutex_);
    return now_;
}

std::size_t ManualRunLoop::runPending() {
    std::size_t ran = 0;
    for (;;) {
        std::function<void()> work;
        {
            std::lock_guard lock(mutex_);
            if (posted_.empty()) {
                return ran;
            }
            work = std::move(posted_.front());
            posted_.pop_front();
        }
        work();
        ++ran;
    }
}

std::shared_ptr<ManualRunLoop::TimerState> ManualRunLoop::nextDueTimer(TimePoint limit) {
    auto due = std::min_element(timers_.begin(), timers_.end(), [](const auto& a, const auto& b) {
        return a->deadline != b->deadline ? a->deadline < b->deadline : a->sequence < b->sequence;
    });
    if (due == timers_.end() || (*due)->deadline > limit) {
        return nullptr;
    }
    auto state = *due;
    timers_.erase(due);
    return state;
}

void ManualRunLoop::advance(Seconds by) {
    runPending();
    TimePoint target;
    {
        std::lock_guard lock(mutex_);
        target = now_ + std::chrono::duration_cast<Clock::duration>(std::max(by, Seconds{0}));
    }
    for (;;) {
        std::function<void()> fire;
        {
            std::lock_guard lock(mutex_);
            auto state = nextDueTimer(target);
            if (!state) {
                now_ = target;
                break;
            }
            now_ = std::max(now_, state->deadline);
            state->valid = false;
            fire = std::move(state->fire);
        }
        if (fire) {
            fire();
        }
        runPending();
    }
    runPending();
}

std::size_t ManualRunLoop::activeTimerCount() const {
    std::lock_guard lock(mutex_);
    return timers_.size();
}

}  // namespace velmo
