#include "platform/runloop/ManualRunLoop.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using velmo::ManualRunLoop;

TEST(ManualRunLoop, TimersFireInDeadlineOrderThenSchedulingOrder) {
    ManualRunLoop loop;
    std::vector<std::string> fired;
    auto t1 = loop.scheduleTimer(2s, [&] { fired.push_back("b@2"); });
    auto t2 = loop.scheduleTimer(1s, [&] { fired.push_back("a@1"); });
    auto t3 = loop.scheduleTimer(2s, [&] { fired.push_back("c@2"); });
    auto t4 = loop.scheduleTimer(5s, [&] { fired.push_back("d@5"); });

    loop.advance(1999ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"a@1"}));
    loop.advance(1ms);
    EXPECT_EQ(fired, (std::vector<std::string>{"a@1", "b@2", "c@2"}));
    EXPECT_FALSE(t1->isValid());
    EXPECT_TRUE(t4->isValid());
    EXPECT_EQ(loop.activeTimerCount(), 1u);
}

TEST(ManualRunLoop, ClockStandsAtTheDeadlineWhileTheTimerRuns) {
    const auto start = ManualRunLoop::TimePoint{std::chrono::seconds{1000}};
    ManualRunLoop loop(start);
    ManualRunLoop::TimePoint seen{};
    loop.scheduleTimer(3s, [&] { seen = loop.now(); });
    loop.advance(10s);
    EXPECT_EQ(seen, start + 3s);
    EXPECT_EQ(loop.now(), start + 10s);
}

TEST(ManualRunLoop, InvalidatedTimerNeverFiresAndDroppedHandleStillFires) {
    ManualRunLoop loop;
    int cancelled = 0;
    int kept = 0;
    auto handle = loop.scheduleTimer(1s, [&] { ++cancelled; });
    loop.scheduleTimer(1s, [&] { ++kept; });  // handle dropped at once
    handle->invalidate();
    handle->invalidate();
    EXPECT_FALSE(handle->isValid());
    loop.advance(2s);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(kept, 1);
}

TEST(ManualRunLoop, TimerScheduledByATimerFiresInTheSameAdvanceWhenDue) {
    ManualRunLoop loop;
    std::vector<int> fired;
    loop.scheduleTimer(1s, [&] {
        fired.push_back(1);
        loop.scheduleTimer(1s, [&] { fired.push_back(2); });
        loop.scheduleTimer(5s, [&] { fired.push_back(3); });
    });
    loop.advance(3s);
    EXPECT_EQ(fired, (std::vector<int>{1, 2}));
}

TEST(ManualRunLoop, ZeroIntervalTimerDoesNotRunInsideSchedule) {
    ManualRunLoop loop;
    int fired = 0;
    loop.scheduleTimer(-1s, [&] { ++fired; });
    EXPECT_EQ(fired, 0);
    loop.advance(0s);
    EXPECT_EQ(fired, 1);
}

TEST(ManualRunLoop, PostedWorkRunsOnRunPendingIncludingWorkPostedMeanwhile) {
    ManualRunLoop loop;
    std::vector<int> ran;
    loop.post([&] {
        ran.push_back(1);
        loop.post([&] { ran.push_back(3); });
    });
    loop.post([&] { ran.push_back(2); });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(loop.runPending(), 3u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(ManualRunLoop, RunOnMainAndWaitIsInlineOnOwnerAndQueuedFromOtherThreads) {
    ManualRunLoop loop;
    int inlineRuns = 0;
    loop.runOnMainAndWait([&] { ++inlineRuns; });
    EXPECT_EQ(inlineRuns, 1);

    std::thread::id ranOn;
    std::thread worker([&] { loop.runOnMainAndWait([&] { ranOn = std::this_thread::get_id(); }); });
    while (loop.runPending() == 0) {
        std::this_thread::yield();
    }
    worker.join();
    EXPECT_EQ(ranOn, std::this_thread::get_id());
}
