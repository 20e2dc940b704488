// Two programs share a suite: each test forks helpers that open the suite themselves, the
// way the main window and the tray widget do, and report through their exit status.

#include "platform/defaults/UserDefaults.h"

#include "TempConfigHome.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

namespace velmo {
namespace {

class Gate {
public:
    Gate() { EXPECT_EQ(::pipe(fds_), 0); }
    ~Gate() {
        ::close(fds_[0]);
        release();
    }
    int readEnd() const { return fds_[0]; }
    // Wakes every child at once: their reads see end of file.
    void release() {
        if (fds_[1] >= 0) {
            ::close(fds_[1]);
            fds_[1] = -1;
        }
    }
    // Wakes a single waiting child.
    void signalOne() { EXPECT_EQ(::write(fds_[1], "x", 1), 1); }

private:
    int fds_[2] = {-1, -1};
};

// Runs `body` in a child process once `gate` is opened; the child's exit status is 0 when
// body returned true.
class Child {
public:
    Child(Gate& gate, const std::function<bool()>& body) {
        pid_ = ::fork();
        if (pid_ == 0) {
            // Otherwise the child's own copy would keep the gate from ever closing.
            gate.release();
            char byte = 0;
            const bool released = ::read(gate.readEnd(), &byte, 1) >= 0;
            ::_exit(released && body() ? 0 : 1);
        }
    }
    bool started() const { return pid_ > 0; }
    // True when the child ran to the end and its body succeeded.
    bool succeeded() const {
        int status = 0;
        return pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

private:
    pid_t pid_ = -1;
};

class UserDefaultsProcessTest : public testing_support::TempConfigHome {};

TEST_F(UserDefaultsProcessTest, TwoProcessesWritingAtOnceLoseNothing) {
    constexpr int rounds = 150;
    const auto writer = [](const std::string& key) {
        return [key] {
            bool ok = true;
            for (int i = 1; i <= rounds; ++i) {
                // Opened per operation, as the settings layer does.
                UserDefaults(std::string("group.shared")).setInteger(key, i);
                ok = ok && UserDefaults(std::string("group.shared")).integerForKey(key) == i;
                // A read-modify-write that must not lose the other process's increments.
                UserDefaults counter("group.shared");
                ok = counter.transaction([&] {
                    counter.setInteger("counter", counter.integerForKey("counter") + 1);
                }) && ok;
            }
            return ok;
        };
    };
    Gate gate;
    Child first(gate, writer("first"));
    Child second(gate, writer("second"));
    ASSERT_TRUE(first.started() && second.started());
    gate.release();
    EXPECT_TRUE(first.succeeded());
    EXPECT_TRUE(second.succeeded());

    UserDefaults defaults("group.shared");
    EXPECT_EQ(defaults.dictionaryRepresentation(),
              (PlistMap{{"first", rounds}, {"second", rounds}, {"counter", 2 * rounds}}));
}

TEST_F(UserDefaultsProcessTest, WriterInAnotherProcessWaitsForATransaction) {
    Gate gate;
    // The child's write can only land after the parent's whole transaction is committed, so
    // it must find "parentDone" there and its own value must be the last one.
    Child child(gate, [] {
        UserDefaults defaults("waiting");
        defaults.setObject("order", "child");
        return defaults.stringForKey("order") == "child" && defaults.boolForKey("parentDone");
    });
    ASSERT_TRUE(child.started());

    UserDefaults defaults("waiting");
    const bool committed = defaults.transaction([&] {
        defaults.setObject("order", "parent");
        gate.signalOne();
        // Long enough for the child to be blocked on the write lock, far below the time-out.
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        defaults.setBool("parentDone", true);
    });
    EXPECT_TRUE(committed);
    EXPECT_TRUE(child.succeeded());
    EXPECT_EQ(defaults.stringForKey("order"), "child");
}

}  // namespace
}  // namespace velmo
