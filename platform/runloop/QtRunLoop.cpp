#include "platform/runloop/QtRunLoop.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>

namespace velmo {

namespace {

struct QtTimerState {
    std::atomic<bool> valid{true};
    std::function<void()> fire;  // touched on the main thread only
    QPointer<QTimer> timer;      // likewise
};

class QtTimer final : public Timer {
public:
    QtTimer(QObject* context, std::shared_ptr<QtTimerState> state) : context_(context), state_(std::move(state)) {}

    void invalidate() override {
        if (!state_->valid.exchange(false)) {
            return;
        }
        auto release = [state = state_] {
            if (state->timer) {
                state->timer->stop();
                state->timer->deleteLater();
            }
            state->fire = nullptr;
        };
        if (context_ && QThread::currentThread() == context_->thread()) {
            release();
        } else if (context_) {
            QMetaObject::invokeMethod(context_, release, Qt::QueuedConnection);
        }
    }

    bool isValid() const override { return state_->valid.load(); }

private:
    QPointer<QObject> context_;
    std::shared_ptr<QtTimerState> state_;
};

int toMilliseconds(RunLoop::Seconds interval) {
    const double ms = std::ceil(interval.count() * 1000.0);
    if (!(ms > 0)) {
        return 0;
    }
    return ms >= std::numeric_limits<int>::max() ? std::numeric_limits<int>::max() : static_cast<int>(ms);
}

}  // namespace

QtRunLoop::QtRunLoop() : context_(std::make_unique<QObject>()) {
    if (auto* app = QCoreApplication::instance(); app && app->thread() != context_->thread()) {
        context_->moveToThread(app->thread());
    }
}

QtRunLoop::~QtRunLoop() = default;

bool QtRunLoop::isMainThread() const { return QThread::currentThread() == context_->thread(); }

std::shared_ptr<Timer> QtRunLoop::scheduleTimer(Seconds interval, std::function<void()> fire) {
    auto state = std::make_shared<QtTimerState>();
    state->fire = std::move(fire);
    QObject* context = context_.get();
    const int ms = toMilliseconds(interval);
    auto arm = [state, context, ms] {
        if (!state->valid.load()) {
            return;
        }
        auto* timer = new QTimer(context);
        timer->setSingleShot(true);
        timer->setTimerType(Qt::PreciseTimer);
        QObject::connect(timer, &QTimer::timeout, timer, [state, timer] {
            timer->deleteLater();
            if (!state->valid.exchange(false)) {
                return;
            }
            auto work = std::move(state->fire);
            state->fire = nullptr;
            if (work) {
                work();
            }
        });
        state->timer = timer;
        timer->start(ms);
    };
    if (isMainThread()) {
        arm();
    } else {
        QMetaObject::invokeMethod(context, arm, Qt::QueuedConnection);
    }
    return std::make_shared<QtTimer>(context, state);
}

void QtRunLoop::post(std::function<void()> work) {
    QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::QueuedConnection);
}

void QtRunLoop::runOnMainAndWait(std::function<void()> work) {
    if (isMainThread()) {
        work();
        return;
    }
    QMetaObject::invokeMethod(context_.get(), std::move(work), Qt::BlockingQueuedConnection);
}

RunLoop::TimePoint QtRunLoop::now() const { return Clock::now(); }

}  // namespace velmo
