#include "tests/support/Program.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/TempHome.h"

namespace velmo::test {

namespace {

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& args,
                            const std::map<std::string, std::string>& env) {
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
}

// Waits for `pid` until `deadline`; the exit code, or -1 for a signal or a time-out (killed).
int reap(pid_t pid, std::chrono::steady_clock::time_point deadline) {
    int status = 0;
    while (true) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) {
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (done < 0) {
            return -1;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace

Outcome runProgram(const std::string& program, const std::vector<std::string>& args, const ProgramOptions& options) {
    TempDir io("velmo-run");
    const auto in = io.write("stdin", options.input);
    const auto outPath = io.path() / "stdout";
    const auto errPath = io.path() / "stderr";
    const pid_t child = ::fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        const int inFd = ::open(in.c_str(), O_RDONLY);
        const int outFd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (inFd < 0 || outFd < 0 || errFd < 0 || ::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0) {
            ::_exit(127);
        }
        execChild(program, args, options.env);
    }
    Outcome result;
    result.exitCode = reap(child, std::chrono::steady_clock::now() + options.timeout);
    result.out = io.read("stdout");
    result.err = io.read("stderr");
    return result;
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::string& errPath, const std::map<std::string, std::string>& env) {
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int nul = ::open("/dev/null", O_RDWR);
        const int errFd = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (nul < 0 || errFd < 0 || ::dup2(nul, 0) < 0 || ::dup2(nul, 1) < 0 || ::dup2(errFd, 2) < 0) {
            ::_exit(127);
        }
        execChild(program, args, env);
    }
}

RunningProgram::~RunningProgram() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        reap(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }
}

void RunningProgram::signal(int sig) const {
    if (pid_ > 0) {
        ::kill(pid_, sig);
    }
}

int RunningProgram::wait(std::chrono::milliseconds timeout) {
    const int code = reap(pid_, std::chrono::steady_clock::now() + timeout);
    pid_ = -1;
    return code;
}

ForkedChild::ForkedChild(const std::function<int()>& body) {
    pid_ = ::fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        int code = 126;
        try {
            code = body();
        } catch (...) {
        }
        ::_exit(code);
    }
}

ForkedChild::~ForkedChild() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(10));
    }
}

int ForkedChild::wait(std::chrono::milliseconds timeout) {
    const int code = reap(pid_, std::chrono::steady_clock::now() + timeout);
    pid_ = -1;
    return code;
}

Gate::Gate() {
    int fds[2];
    if (::pipe(fds) != 0) {
        throw std::runtime_error("pipe failed");
    }
    read_ = fds[0];
    write_ = fds[1];
}

Gate::~Gate() {
    ::close(read_);
    open();
}

bool Gate::wait() {
    // The waiter's own copy of the writing end would keep end-of-file from ever coming.
    open();
    char byte = 0;
    return ::read(read_, &byte, 1) >= 0;
}

void Gate::pass() {
    if (write_ >= 0 && ::write(write_, "x", 1) != 1) {
        throw std::runtime_error("gate write failed");
    }
}

void Gate::open() {
    if (write_ >= 0) {
        ::close(write_);
        write_ = -1;
    }
}

int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace velmo::test
