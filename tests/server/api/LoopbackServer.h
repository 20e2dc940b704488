#pragma once
// tarvod's HTTPS front on a free loopback port, listening on a thread of its own until destroyed.

#include "server/api/Server.h"

#include <thread>
#include <utility>

namespace velmo::test {

class LoopbackServer {
public:
    LoopbackServer(api::ServerOptions options, api::SnapshotSource snapshots, api::Clock clock)
        : server_(std::move(options), std::move(snapshots), std::move(clock)), port_(server_.bind("127.0.0.1", 0)) {
        if (port_ > 0) {
            thread_ = std::thread([this] { server_.listen(); });
            server_.waitUntilReady();
        }
    }
    ~LoopbackServer() {
        server_.stop();
        if (thread_.joinable())
            thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // The port it listens on; 0 or less when it could not bind.
    int port() const { return port_; }
    void stop() { server_.stop(); }

private:
    api::Server server_;
    int port_;
    std::thread thread_;
};

}  // namespace velmo::test
