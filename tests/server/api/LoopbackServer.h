#pragma once
// tarvod's HTTPS front on a free loopback port, listening on a thread of its own until destroyed.

#include "server/api/Server.h"
#include "server/api/Tls.h"

#include <httplib.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <utility>

namespace velmo::test {

// Server options naming a new self-signed certificate and key, written into `dir`.
inline api::ServerOptions optionsWithCertificate(const std::filesystem::path& dir) {
    api::ServerOptions options;
    options.certPath = (dir / "cert.pem").string();
    options.keyPath = (dir / "key.pem").string();
    api::writeSelfSignedCertificate(options.certPath, options.keyPath);
    return options;
}

// A client of the server on `port` that trusts only the certificate at `certPath`.
inline std::unique_ptr<httplib::SSLClient> verifyingClient(int port, const std::string& certPath) {
    auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    c->set_ca_cert_path(certPath.c_str());
    c->enable_server_certificate_verification(true);
    return c;
}

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
