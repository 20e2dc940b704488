#pragma once

#include "server/api/Metrics.h"
#include "server/api/Reply.h"
#include "server/api/Request.h"
#include "server/query/Engine.h"
#include "server/realtime/Poller.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace httplib {
class SSLServer;
struct Request;
struct Response;
}  // namespace httplib

namespace velmo::api {

struct ServerOptions {
    std::string certPath;
    std::string keyPath;
    // Each open keep-alive connection holds a worker while it lasts, so the
    // pool bounds the connections served at once (others wait in the queue).
    int threads = 64;
    std::size_t keepAliveMaxRequests = 10000;  // per connection, then it is closed
    std::chrono::seconds readTimeout{5};
    std::chrono::seconds writeTimeout{5};
    std::chrono::seconds idleTimeout{5};  // keep-alive connections
    std::size_t maxBody = 64 * 1024;
    VersionPolicy versions;
    query::EngineOptions engine;
    // The live sources' state for /healthz and /metrics; none when unset.
    std::function<std::vector<realtime::SourceStatus>()> realtimeStatus;
};

using SnapshotSource = std::function<std::shared_ptr<const query::Snapshot>()>;
using Clock = std::function<query::TimePoint()>;

// The HTTPS front: routes, envelope for every reply, limits and metrics.
class Server {
public:
    // Throws std::runtime_error when the certificate or key cannot be used.
    Server(ServerOptions options, SnapshotSource snapshots, Clock clock);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds to host:port (port 0: any free port); returns the port or -1.
    int bind(const std::string& host, int port);
    // Serves until stop(); returns false when serving failed.
    bool listen();
    void stop();
    // Blocks until listen() has started accepting (for tests).
    void waitUntilReady() const;

    Metrics& metrics() { return metrics_; }

private:
    void routes();
    void send(const httplib::Request& req, httplib::Response& res, const Reply& reply, const std::string& result,
              std::chrono::steady_clock::time_point started);
    void count(const httplib::Request& req, int status, const std::string& result,
               std::chrono::steady_clock::time_point started);

    ServerOptions options_;
    SnapshotSource snapshots_;
    Clock clock_;
    Metrics metrics_;
    std::unique_ptr<httplib::SSLServer> http_;
};

}  // namespace velmo::api
