#include "tests/support/Program.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

#include "tests/support/TempHome.h"

namespace velmo::test {

namespace {

// Runs in the child: the three standard streams from these files, then `program`.
int exec(const std::string& program, const std::vector<std::string>& args, const std::string& out,
         const std::string& err) {
    const int fds[] = {::open("/dev/null", O_RDONLY), ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                       ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; ++i) {
        if (fds[i] < 0 || ::dup2(fds[i], i) < 0)
            return 127;
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return 127;
}

// Runs in the child: root's file-permission overrides leave the bounding set and the
// inheritable set, so the program run next never has them.
bool dropFileOverrides() {
    if (::geteuid() != 0)
        return true;
    for (const int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) {
        if (::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0)
            return false;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].inheritable = data[1].inheritable = 0;
    return ::syscall(SYS_capset, &header, data) == 0 && ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) == 0;
}

}  // namespace

Outcome runProgram(const std::string& program, const std::vector<std::string>& args, bool unprivileged) {
    TempDir io("velmo-run");
    const std::string out = io.path() / "stdout";
    const std::string err = io.path() / "stderr";
    Outcome result;
    result.exitCode = ForkedChild([&] {
                          if (unprivileged && !dropFileOverrides())
                              return kNoUnprivilegedRun;
                          return exec(program, args, out, err);
                      }).wait();
    result.out = io.read("stdout");
    result.err = io.read("stderr");
    return result;
}

ForkedChild::ForkedChild(const std::function<int()>& body) : pid_(::fork()) {
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
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
        signal(SIGTERM);
        wait(std::chrono::seconds(10));
    }
}

void ForkedChild::signal(int sig) const {
    if (pid_ > 0)
        ::kill(pid_, sig);
}

int ForkedChild::wait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    pid_t done = 0;
    while ((done = ::waitpid(pid_, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (done == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
    }
    pid_ = -1;
    return done == 0 || done < 0 || !WIFEXITED(status) ? -1 : WEXITSTATUS(status);
}

RunningProgram::RunningProgram(const std::string& program, const std::vector<std::string>& args,
                               const std::string& errPath)
    : ForkedChild([&] { return exec(program, args, "/dev/null", errPath); }) {}

Gate::Gate() {
    int fds[2];
    if (::pipe(fds) != 0)
        throw std::runtime_error("pipe failed");
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
    return ::read(read_, &byte, 1) == 0;
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
