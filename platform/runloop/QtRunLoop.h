#pragma once
// The run loop of the Qt GUI thread. Construct it on the main thread after the
// QCoreApplication exists.

#include "platform/runloop/RunLoop.h"

#include <memory>

class QObject;

namespace velmo {

class QtRunLoop final : public RunLoop {
public:
    QtRunLoop();
    ~QtRunLoop() override;

    std::shared_ptr<Timer> scheduleTimer(Seconds interval, std::function<void()> fire) override;
    void post(std::function<void()> work) override;
    void runOnMainAndWait(std::function<void()> work) override;
    TimePoint now() const override;

    // True when called on the thread that owns the loop.
    bool isMainThread() const;

private:
    std::unique_ptr<QObject> context_;
};

}  // namespace velmo
