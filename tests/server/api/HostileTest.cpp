// The HTTPS front against hostile clients over loopback: while each attack runs, a prober asks
// GET /healthz on fresh connections, and every answer must come within a second.
#include "server/api/Server.h"
#include "tests/server/api/LoopbackServer.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <thread>

using namespace velmo;
using namespace velmo::test;
using SteadyClock = std::chrono::steady_clock;

namespace {

constexpr auto kRequestTimeout = 2s;
// Under a sanitizer every allocation grows its shadow memory or quarantine: resident memory
// then says nothing about what the server keeps.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
const std::string kHealthz = "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n";

// A TCP connection to the loopback port, or -1 when none is made within a second. Reads and
// writes give up after two seconds.
int connectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 &&
        (errno != EINPROGRESS || ::poll(&p, 1, 1000) != 1 ||
         ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, 0);
    const timeval limit{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    return fd;
}

// True when the peer has closed the socket (end of stream or reset) before `deadline`; bytes
// that arrive meanwhile are read and dropped.
bool closedBy(int fd, SteadyClock::time_point deadline) {
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
        pollfd p{fd, POLLIN, 0};
        char scratch[4096];
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) != 1)
            return false;
        if (::recv(fd, scratch, sizeof scratch, 0) <= 0)
            return true;
    }
}

// A blocking TLS client over raw sockets, free to misbehave.
class TlsClient {
public:
    TlsClient(SSL_CTX* ctx, int port) : fd_(connectTo(port)), ssl_(SSL_new(ctx)) {
        SSL_set_fd(ssl_, fd_);
        ok_ = fd_ >= 0 && SSL_connect(ssl_) == 1;
    }
    ~TlsClient() {
        SSL_free(ssl_);
        ::close(fd_);
    }
    TlsClient(const TlsClient&) = delete;
    TlsClient& operator=(const TlsClient&) = delete;

    bool ok() const { return ok_; }
    int fd() const { return fd_; }
    bool send(std::string_view bytes) {
        return ok_ && SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size())) == static_cast<int>(bytes.size());
    }
    // The next reply's status and body; status 0 when none came whole.
    std::pair<int, std::string> reply() {
        std::size_t end = 0;
        while ((end = in_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill())
                return {0, in_};
        }
        std::string head = in_.substr(0, end);
        std::ranges::transform(head, head.begin(), [](unsigned char c) { return std::tolower(c); });
        const auto length = head.find("content-length:");
        const std::size_t size = length == std::string::npos ? 0 : std::stoul(head.substr(length + 15));
        while (in_.size() < end + 4 + size) {
            if (!fill())
                return {0, in_};
        }
        const int status = head.size() > 12 ? std::atoi(head.c_str() + 9) : 0;
        std::string body = in_.substr(end + 4, size);
        in_.erase(0, end + 4 + size);
        return {status, body};
    }

private:
    bool fill() {
        char buffer[16384];
        const int n = SSL_read(ssl_, buffer, sizeof buffer);
        in_.append(buffer, static_cast<std::size_t>(std::max(n, 0)));
        return n > 0;
    }

    int fd_;
    SSL* ssl_;
    bool ok_ = false;
    std::string in_;
};

// Asks GET /healthz on a fresh connection every 100 ms until destroyed; remembers the slowest
// answer and any that failed.
class Prober {
public:
    Prober(SSL_CTX* ctx, int port)
        : thread_([this, ctx, port] {
              while (!stop_) {
                  const auto start = SteadyClock::now();
                  TlsClient c(ctx, port);
                  const bool good = c.send(kHealthz) && c.reply().first == 200;
                  const std::chrono::duration<double> took = SteadyClock::now() - start;
                  slowest_ = std::max(slowest_.load(), took.count());
                  failed_ += good ? 0 : 1;
                  ++probes_;
                  std::this_thread::sleep_for(100ms);
              }
          }) {}
    ~Prober() { finish(); }
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;

    // Stops probing; "N probes, M failed, slowest S s" for the failure message.
    std::string finish() {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        return std::to_string(probes_) + " probes, " + std::to_string(failed_) + " failed, slowest " +
               std::to_string(slowest_) + " s";
    }
    bool healthy() const { return probes_ >= 1 && failed_ == 0 && slowest_ < 1.0; }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> probes_{0}, failed_{0};
    std::atomic<double> slowest_{0};
    std::thread thread_;
};

// Resident memory of this process in KiB.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) {
    }
    return line.starts_with("VmRSS:") ? std::stol(line.substr(6)) : 0;
}

class HostileTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::signal(SIGPIPE, SIG_IGN);  // writes to connections the server has closed
        ctx_ = SSL_CTX_new(TLS_client_method());
        // TLS 1.2: nothing arrives after the handshake unless the server answers.
        SSL_CTX_set_max_proto_version(ctx_, TLS1_2_VERSION);
    }
    void TearDown() override {
        server_.reset();
        SSL_CTX_free(ctx_);
    }
    void start(std::size_t maxConnections = 10000) {
        auto options = optionsWithCertificate(dir_.path());
        options.threads = 2;
        options.requestTimeout = kRequestTimeout;
        options.writeTimeout = 2s;
        options.idleTimeout = 1s;
        options.maxConnections = maxConnections;
        auto snapshot = std::make_shared<query::Snapshot>(city_.snapshot);
        server_ = std::make_unique<LoopbackServer>(
            options, [snapshot] { return snapshot; }, [] { return kNow; });
        port_ = server_->port();
        ASSERT_GT(port_, 0);
    }

    TempDir dir_;
    LiveCity city_;
    SSL_CTX* ctx_ = nullptr;
    std::unique_ptr<LoopbackServer> server_;
    int port_ = 0;
};

// Clients that take their time: each connection opens, sends `opening`, then one byte of `trickle`
// every second. The server must cut every one off at its request deadline while answering others.
struct Slow {
    const char* name;
    int connections;
    bool tls;  // handshake done first; the bytes then go in TLS records
    std::string opening;
    std::string trickle;
};

void PrintTo(const Slow& slow, std::ostream* out) { *out << slow.name; }

class SlowClientTest : public HostileTest, public ::testing::WithParamInterface<Slow> {};

const Slow kSlow[] = {
    // Under a sanitizer a thousand handshake-less sockets measure the sanitizer, not the server.
    {"SilentTcp", kSanitized ? 200 : 1000, false, "", ""},
    {"TrickledClientHello", 100, false, "", std::string("\x16\x03\x01\x00\xc8", 5) + std::string(200, '\x01')},
    {"TrickledHeader", 100, true, "GET /healthz HTTP/1.1\r\n", "Host: localhost\r\nX-Slow: " + std::string(100, 'a')},
    {"TrickledBody", 100, true,
     "POST /v2/nearby/ HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: 400\r\n\r\n",
     std::string(400, ' ')},
};

}  // namespace

TEST_P(SlowClientTest, AreCutOffAtTheRequestDeadlineWhileOthersAreServed) {
    const Slow& attack = GetParam();
    start();
    std::vector<std::unique_ptr<TlsClient>> tls;
    std::vector<int> raw;
    int refused = 0;  // the first connection the server would not take ends the opening
    for (int i = 0; i < attack.connections && refused == 0; ++i) {
        if (attack.tls) {
            auto c = std::make_unique<TlsClient>(ctx_, port_);
            refused += c->send(attack.opening) ? 0 : 1;
            tls.push_back(std::move(c));
        } else if (const int fd = connectTo(port_); fd >= 0) {
            raw.push_back(fd);
        } else {
            ++refused;
        }
    }
    EXPECT_EQ(refused, 0) << "after " << tls.size() + raw.size() << " connections";
    // The deadline runs from the last connection's start at the latest.
    const auto deadline = SteadyClock::now() + kRequestTimeout + 1500ms;
    Prober prober(ctx_, port_);
    std::atomic<bool> stop{false};
    std::thread trickler([&] {
        for (std::size_t at = 0; at < attack.trickle.size() && !stop; ++at) {
            for (auto& c : tls)
                c->send(attack.trickle.substr(at, 1));
            for (const int fd : raw)
                ::send(fd, &attack.trickle[at], 1, MSG_NOSIGNAL);
            for (int i = 0; i < 10 && !stop; ++i)
                std::this_thread::sleep_for(100ms);
        }
    });
    int stillOpen = 0;
    for (const int fd : raw)
        stillOpen += closedBy(fd, deadline) ? 0 : 1;
    for (auto& c : tls)
        stillOpen += closedBy(c->fd(), deadline) ? 0 : 1;
    stop = true;
    trickler.join();
    const std::string probes = prober.finish();
    EXPECT_TRUE(prober.healthy()) << probes;
    EXPECT_EQ(stillOpen, 0) << "of " << attack.connections << " connections";
    for (const int fd : raw)
        ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Hostile, SlowClientTest, ::testing::ValuesIn(kSlow),
                         [](const auto& param) { return std::string(param.param.name); });

// Requests over a limit get the error envelope and lose their connection; nothing of them is kept.
TEST_F(HostileTest, OversizedHeadersAreRefusedWith431AndClosed) {
    start();
    Prober prober(ctx_, port_);
    std::string manyFields = "GET /healthz HTTP/1.1\r\nHost: localhost\r\n";
    for (int i = 0; i < 1000; ++i)
        manyFields += "X-F" + std::to_string(i) + ": 1\r\n";
    const std::string longField = "GET /healthz HTTP/1.1\r\nHost: localhost\r\nX-Big: " + std::string(20000, 'a');
    for (const std::string& request : {manyFields + "\r\n", longField + "\r\n\r\n"}) {
        TlsClient c(ctx_, port_);
        ASSERT_TRUE(c.send(request));
        const auto [status, body] = c.reply();
        EXPECT_EQ(std::pair(status, body.find("\"errorMessage\":\"BADREQUEST\"") != std::string::npos),
                  std::pair(431, true))
            << body.substr(0, 200);
        EXPECT_TRUE(closedBy(c.fd(), SteadyClock::now() + 3s));
    }
    const std::string probes = prober.finish();
    EXPECT_TRUE(prober.healthy()) << probes;
}

TEST_F(HostileTest, ChunkedBodiesPastTheLimitGet413AndCostNoMemory) {
    start();
    Prober prober(ctx_, port_);
    const long before = residentKiB();
    std::atomic<long> peak{before};
    std::atomic<bool> flooding{true};
    std::thread sampler([&] {
        while (flooding) {
            peak = std::max(peak.load(), residentKiB());
            std::this_thread::sleep_for(5ms);
        }
    });
    // Four clients, each offering 16 MiB in 16 KiB chunks and stopping once answered.
    std::vector<std::pair<int, bool>> results(4);
    std::vector<std::thread> clients;
    for (auto& result : results) {
        clients.emplace_back([this, &result] {
            TlsClient c(ctx_, port_);
            c.send("POST /v2/nearby/ HTTP/1.1\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n");
            const std::string chunk = "4000\r\n" + std::string(0x4000, ' ') + "\r\n";
            pollfd answered{c.fd(), POLLIN, 0};
            for (int i = 0; i < 1024 && c.send(chunk) && ::poll(&answered, 1, 0) == 0; ++i) {
            }
            c.send("0\r\n\r\n");
            result = {c.reply().first, closedBy(c.fd(), SteadyClock::now() + 3s)};
        });
    }
    for (auto& t : clients)
        t.join();
    flooding = false;
    sampler.join();
    for (const auto& result : results)
        EXPECT_EQ(result, std::pair(413, true));
    if (!kSanitized) {
        EXPECT_LT(peak - before, 8 * 1024) << "KiB more resident while 4 x 16 MiB were offered";
    }
    const std::string probes = prober.finish();
    EXPECT_TRUE(prober.healthy()) << probes;
}

TEST_F(HostileTest, PipelinedRequestsAreAnsweredInOrder) {
    start();
    TlsClient c(ctx_, port_);
    ASSERT_TRUE(c.send(kHealthz + "GET /metrics HTTP/1.1\r\nHost: localhost\r\n\r\n" +
                       "GET /nowhere HTTP/1.1\r\nHost: localhost\r\n\r\n"));
    const auto health = c.reply();
    const auto metrics = c.reply();
    const auto missing = c.reply();
    EXPECT_EQ(std::pair(health.first, health.second.find("\"cities\"") != std::string::npos), std::pair(200, true));
    // The metrics count the health check answered before them.
    EXPECT_EQ(metrics.first, 200);
    EXPECT_NE(metrics.second.find(R"(tarvod_requests_total{endpoint="/healthz",result="200"} 1)"), std::string::npos)
        << metrics.second;
    EXPECT_EQ(missing.first, 404);
}

TEST_F(HostileTest, ConnectionsBeyondTheCapAreClosedAtOnce) {
    start(20);
    std::vector<std::unique_ptr<TlsClient>> held;  // handshaken, so surely counted
    for (int i = 0; i < 20; ++i) {
        held.push_back(std::make_unique<TlsClient>(ctx_, port_));
        ASSERT_TRUE(held.back()->ok()) << "connection " << i;
    }
    const int extra = connectTo(port_);
    ASSERT_GE(extra, 0);  // the kernel accepts it; the server must close it, not queue it
    EXPECT_TRUE(closedBy(extra, SteadyClock::now() + 500ms));
    ::close(extra);
    // One place freed: a client gets in again.
    held.pop_back();
    bool served = false;
    for (const auto until = SteadyClock::now() + 1s; !served && SteadyClock::now() < until;) {
        TlsClient c(ctx_, port_);
        served = c.send(kHealthz) && c.reply().first == 200;
    }
    EXPECT_TRUE(served);
}

TEST_F(HostileTest, IdleConnectionsCloseAfterTheirTimeOutAndAllCloseOnStop) {
    start();
    TlsClient idle(ctx_, port_);
    ASSERT_TRUE(idle.send(kHealthz));
    EXPECT_EQ(idle.reply().first, 200);
    EXPECT_TRUE(closedBy(idle.fd(), SteadyClock::now() + 1800ms));  // idle time-out 1 s
    TlsClient busy(ctx_, port_);
    ASSERT_TRUE(busy.send("GET /healthz HTTP/1.1\r\n"));
    std::this_thread::sleep_for(100ms);
    server_->stop();
    EXPECT_TRUE(closedBy(busy.fd(), SteadyClock::now() + 500ms));
}
