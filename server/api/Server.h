#pragma once

#include "server/api/FeedStatus.h"
#include "server/api/Metrics.h"
#include "server/api/Reply.h"
#include "server/api/Request.h"
#include "server/query/Engine.h"
#include "server/realtime/Poller.h"

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace velmo::api {

// Threads for the event loop: one per core, 1..256.
inline int defaultServerThreads() {
    return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1U, 256U));
}

struct ServerOptions {
    std::string certPath;
    std::string keyPath;
    // Threads running the event loop. A connection holds no thread while it waits for the
    // client, so a few threads serve thousands of open connections; each costs only memory.
    int threads = defaultServerThreads();
    std::size_t keepAliveMaxRequests = 10000;  // per connection, then it is closed
    // One deadline for the TLS handshake and the whole request, header and body; on a kept-alive
    // connection it starts with the next request's first byte.
    std::chrono::seconds requestTimeout{10};
    std::chrono::seconds writeTimeout{5};  // for sending each reply
    std::chrono::seconds idleTimeout{5};   // a kept-alive connection waiting for its next request
    std::size_t maxBody = 64 * 1024;       // counted as it arrives, chunked bodies too: 413
    std::size_t maxHeaderBytes = 16 * 1024;
    std::size_t maxHeaderFields = 100;  // either exceeded: 431
    // Open connections at most (clamped below the open-file limit); one more is closed at once.
    std::size_t maxConnections = 10000;
    VersionPolicy versions;
    query::EngineOptions engine;
    // The live sources' state for /healthz and /metrics; none when unset.
    std::function<std::vector<realtime::SourceStatus>()> realtimeStatus;
    // The static feeds' state for /healthz and /metrics; none when unset.
    std::function<std::vector<FeedStatus>()> feedStatus;
};

using SnapshotSource = std::function<std::shared_ptr<const query::Snapshot>()>;
using Clock = std::function<query::TimePoint()>;

// The HTTPS front: routes, envelope for every reply, limits and metrics. Event-driven: slow or
// idle clients wait on deadlines, not on threads. Constructing it raises the process's soft limit
// of open files to the hard limit.
class Server {
public:
    // Throws std::runtime_error when the certificate or key cannot be used.
    Server(ServerOptions options, SnapshotSource snapshots, Clock clock);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds to host:port (port 0: any free port); returns the port or -1.
    int bind(const std::string& host, int port);
    // Serves on `threads` threads (this one among them) until stop(); returns false when it
    // could not serve (nothing bound).
    bool listen();
    // Makes listen() return at once; the connections still open are closed. Any thread may call it.
    void stop();
    // Blocks until listen() has started accepting (for tests).
    void waitUntilReady() const;

    Metrics& metrics() { return metrics_; }

private:
    struct Impl;
    Metrics metrics_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo::api
