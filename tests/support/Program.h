#pragma once
// Runs a program of the build as a child process: arguments, extra environment, standard
// input; its exit code and both outputs are collected. start() leaves it running (servers).

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace velmo::test {

struct Outcome {
    int exitCode = -1;  // -1 when the program did not exit normally (signal, time-out)
    std::string out;
    std::string err;
};

struct ProgramOptions {
    std::map<std::string, std::string> env;  // set in the child on top of the parent's
    std::string input;                       // standard input
    std::chrono::seconds timeout{60};        // killed after this; exitCode -1
};

Outcome runProgram(const std::string& program, const std::vector<std::string>& args,
                   const ProgramOptions& options = {});

// A program running in the background; its standard error goes to `errPath`, its output to
// /dev/null. Killed (SIGTERM, then SIGKILL) when destroyed unless waited for.
class RunningProgram {
public:
    RunningProgram(const std::string& program, const std::vector<std::string>& args, const std::string& errPath,
                   const std::map<std::string, std::string>& env = {});
    ~RunningProgram();
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // The exit code once it ends within `timeout` (-1 for a signal or a time-out).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));

private:
    pid_t pid_ = -1;
};

// `body` run in a forked copy of this test program (for two programs sharing a store); its
// return value, or 126 when it throws, is the child's exit code. Killed when destroyed
// unless waited for.
class ForkedChild {
public:
    explicit ForkedChild(const std::function<int()>& body);
    ~ForkedChild();
    ForkedChild(const ForkedChild&) = delete;
    ForkedChild& operator=(const ForkedChild&) = delete;

    // The exit code once it ends within `timeout` (-1 for a signal or a time-out).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(60));

private:
    pid_t pid_ = -1;
};

// A one-way signal between processes (a pipe). Created before fork(): the receiving side
// calls wait(), the other side pass() once per waiter, or open() to let every waiter through.
class Gate {
public:
    Gate();
    ~Gate();
    Gate(const Gate&) = delete;
    Gate& operator=(const Gate&) = delete;

    // Blocks until a pass() or open() of the other side (or until that side is gone).
    bool wait();
    void pass();
    void open();

private:
    int read_ = -1;
    int write_ = -1;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freePort();

}  // namespace velmo::test
