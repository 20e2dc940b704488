// The Qt back-end of the run loop: one-shot timers and work handed to the main thread.

#include "platform/runloop/QtRunLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>

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
    while (!done() && clock.elapsed() < limitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

}  // namespace

TEST(QtRunLoop, TimersFireOnceAndWorkRunsOnTheMainThread) {
    QtRunLoop loop;
    int fired = 0, cancelled = 0;
    auto timer = loop.scheduleTimer(20ms, [&] { ++fired; });
    loop.scheduleTimer(20ms, [&] { ++cancelled; })->invalidate();
    EXPECT_TRUE(spinUntil([&] { return fired == 1; }));
    spinUntil([] { return false; }, 100);
    EXPECT_EQ(fired + cancelled, 1);
    EXPECT_FALSE(timer->isValid());

    // Work handed to the main thread runs inline there, and blocks a worker until it ran.
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
