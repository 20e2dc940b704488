#include "platform/runloop/QtRunLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace std::chrono_literals;
using velmo::QtRunLoop;

namespace {

// Spins the Qt event loop until `done` holds or `limitMs` passes.
template <typename Pred>
bool spinUntil(Pred done, int limitMs = 5000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return done();
}

}  // namespace

TEST(QtRunLoop, PostRunsLaterOnTheMainThread) {
    QtRunLoop loop;
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(spinUntil([&] { return ran; }));
}

TEST(QtRunLoop, TimerFiresOnceAndInvalidateCancels) {
    QtRunLoop loop;
    int fired = 0;
    int cancelled = 0;
    auto timer = loop.scheduleTimer(20ms, [&] { ++fired; });
    auto other = loop.scheduleTimer(20ms, [&] { ++cancelled; });
    other->invalidate();
    EXPECT_TRUE(timer->isValid());
    EXPECT_TRUE(spinUntil([&] { return fired == 1; }));
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(cancelled, 0);
    EXPECT_FALSE(timer->isValid());
}

TEST(QtRunLoop, TimerScheduledFromAnotherThreadFiresOnMain) {
    QtRunLoop loop;
    std::atomic<bool> onMain{false};
    std::atomic<bool> fired{false};
    std::thread worker([&] {
        loop.scheduleTimer(10ms, [&] {
            onMain = loop.isMainThread();
            fired = true;
        });
    });
    worker.join();
    EXPECT_TRUE(spinUntil([&] { return fired.load(); }));
    EXPECT_TRUE(onMain.load());
}

TEST(QtRunLoop, RunOnMainAndWaitRunsInlineOnMainAndBlocksFromWorker) {
    QtRunLoop loop;
    bool inlineRan = false;
    loop.runOnMainAndWait([&] { inlineRan = true; });
    EXPECT_TRUE(inlineRan);

    std::atomic<bool> workerDone{false};
    bool ranOnMain = false;
    std::thread worker([&] {
        loop.runOnMainAndWait([&] { ranOnMain = loop.isMainThread(); });
        workerDone = true;
    });
    EXPECT_TRUE(spinUntil([&] { return workerDone.load(); }));
    worker.join();
    EXPECT_TRUE(ranOnMain);
}

TEST(QtRunLoop, NowFollowsTheSystemClock) {
    QtRunLoop loop;
    const auto before = std::chrono::system_clock::now();
    const auto seen = loop.now();
    EXPECT_LE(before, seen);
    EXPECT_LE(seen - before, 5s);
}
