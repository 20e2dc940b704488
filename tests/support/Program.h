#pragma once
// Child processes: a program of the build run to its end (outputs collected) or in the
// background (servers), or a forked copy of this test program (two programs sharing a store).

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace velmo::test {

struct Outcome {
    int exitCode = -1;  // -1 when the program did not exit normally (signal, time-out)
    std::string out;
    std::string err;
};

// Runs `program` with no input; killed after a minute. `unprivileged`: as an ordinary user meets files, so that run by
// root the program lacks the capabilities that read and write past file permissions, and a write-protected file or
// folder stops it (exit code kNoUnprivilegedRun when they could not be given up).
constexpr int kNoUnprivilegedRun = 125;
Outcome runProgram(const std::string& program, const std::vector<std::string>& args, bool unprivileged = false);

// `body` run in a forked copy of this test program; its return value, or 126 when it throws, is the child's exit code.
// Stopped (SIGTERM, SIGKILL after 10 s) when destroyed unless waited for.
class ForkedChild {
public:
    explicit ForkedChild(const std::function<int()>& body);
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    void signal(int sig) const;
    // The exit code once it ends within `timeout` (-1 for a signal or a time-out).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
    pid_t pid_ = -1;
};

// A program of the build in the background; its standard error goes to `errPath`.
class RunningProgram : public ForkedChild {
public:
    RunningProgram(const std::string& program, const std::vector<std::string>& args, const std::string& errPath);
};

// A one-way signal between processes (a pipe), created before fork(): wait() blocks until
// every other process holding the gate has called open() (or is gone).
class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    bool wait();
    void open();

private:
    int read_ = -1;
    int write_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

}  // namespace velmo::test
