#include "platform/runloop/RunLoop.h"

#include "platform/runloop/QtRunLoop.h"

#include <atomic>

namespace velmo {

namespace {
std::atomic<RunLoop*> g_main{nullptr};
}

RunLoop& RunLoop::main() {
    if (RunLoop* loop = g_main.load()) {
        return *loop;
    }
    // Created on first use, on the thread that asks first (the main thread in our programs).
    static QtRunLoop defaultLoop;
    return defaultLoop;
}

void RunLoop::setMain(RunLoop* loop) { g_main.store(loop); }

}  // namespace velmo
