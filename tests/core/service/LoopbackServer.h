#pragma once
// A departures service stand-in on loopback HTTPS for tests: records every request (method,
// path, headers, body) and answers with scripted replies, in order; without a script it
// answers {"error":false}. The certificate is made with the openssl program per run.

#include <httplib.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace velmo::test {

struct SeenRequest {
    std::string method;
    std::string path;
    httplib::Headers headers;
    std::string body;

    std::string header(const char* name) const {
        const auto it = headers.find(name);  // httplib compares names ignoring case
        return it == headers.end() ? std::string("<absent>") : it->second;
    }
};

struct ScriptedReply {
    std::string body;
    int status = 200;
};

// Writes key.pem and cert.pem (CN localhost, also valid for 127.0.0.1) into `folder`.
inline bool makeCertificate(const std::filesystem::path& folder) {
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
        " -keyout '" +
        (folder / "key.pem").string() + "' -out '" + (folder / "cert.pem").string() +
        "' -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
        " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

class LoopbackServer {
public:
    explicit LoopbackServer(const std::filesystem::path& certificateFolder)
        : server_((certificateFolder / "cert.pem").c_str(), (certificateFolder / "key.pem").c_str()) {
        server_.set_error_handler([](const httplib::Request&, httplib::Response&) {});
        const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
            std::lock_guard lock(mutex_);
            seen_.push_back({request.method, request.path, request.headers, request.body});
            ScriptedReply reply{R"({"error":false})", 200};
            if (!script_.empty()) {
                reply = script_.front();
                script_.pop_front();
            }
            response.status = reply.status;
            response.set_content(reply.body, "application/json");
        };
        server_.Post(R"(/.*)", handler);
        server_.Get(R"(/.*)", handler);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ > 0) {
            thread_ = std::thread([this] { server_.listen_after_bind(); });
            while (!server_.is_running()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }

    ~LoopbackServer() {
        server_.stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    bool isValid() const { return server_.is_valid() && port_ > 0; }
    int port() const { return port_; }
    std::string base() const { return "https://127.0.0.1:" + std::to_string(port_) + "/v2/"; }

    void answer(std::string body, int status = 200) {
        std::lock_guard lock(mutex_);
        script_.push_back({std::move(body), status});
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }

private:
    httplib::SSLServer server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
    std::deque<ScriptedReply> script_;
};

}  // namespace velmo::test
