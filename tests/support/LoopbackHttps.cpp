#include "tests/support/LoopbackHttps.h"

#include "tests/support/TempHome.h"

#include "tests/support/Program.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

namespace velmo::test {

namespace {

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

void require(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error("loopback HTTPS server: " + what);
}

}  // namespace

std::string SeenRequest::header(std::string name) const {
    const auto it = headers.find(lower(std::move(name)));
    return it == headers.end() ? std::string("<absent>") : it->second;
}

struct LoopbackHttps::State {
    TempDir folder{"velmo-tls"};
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    int port = 0;

    mutable std::mutex mutex;
    std::condition_variable stopping;
    bool stopped = false;
    std::vector<SeenRequest> seen;
    struct Scripted {
        std::string body = R"({"error":false})";
        int status = 200;
        std::map<std::string, std::string> headers;
        std::optional<StreamedReply> stream;
    };
    std::deque<Scripted> script;
    std::size_t streamed = 0;

    void handle(const httplib::Request& request, httplib::Response& response) {
        std::unique_lock lock(mutex);
        SeenRequest record{request.method, request.target, {}, request.body};
        for (const auto& [name, value] : request.headers)
            record.headers.emplace(lower(name), value);
        seen.push_back(std::move(record));
        Scripted reply;
        if (!script.empty()) {
            reply = std::move(script.front());
            script.pop_front();
        }
        response.status = reply.status;
        for (const auto& [name, value] : reply.headers)
            response.set_header(name, value);
        if (!reply.stream) {
            response.set_content(reply.body, "application/json");
            return;
        }
        // Not a type the server compresses: the bytes counted are the bytes sent.
        const char* type = "application/octet-stream";
        if (const StreamedReply stream = *reply.stream; stream.announced) {
            response.set_content_provider(stream.bytes, type,
                                          [this, stream](std::size_t offset, std::size_t, httplib::DataSink& sink) {
                                              return writePiece(stream, offset, sink);
                                          });
        } else {
            response.set_chunked_content_provider(type, [this, stream](std::size_t offset, httplib::DataSink& sink) {
                if (offset == stream.bytes) {
                    sink.done();
                    return true;
                }
                return writePiece(stream, offset, sink);
            });
        }
    }

    // Writes the piece at `offset` after the pause; false (the connection is dropped) once
    // the client is gone or the server stops.
    bool writePiece(const StreamedReply& stream, std::size_t offset, httplib::DataSink& sink) {
        {
            std::unique_lock lock(mutex);
            if (offset > 0)
                stopping.wait_for(lock, stream.pause, [this] { return stopped; });
            if (stopped)
                return false;
        }
        const std::string piece(std::min(stream.piece, stream.bytes - offset), 'x');
        if (!sink.write(piece.data(), piece.size()))
            return false;
        std::lock_guard lock(mutex);
        streamed += piece.size();
        return true;
    }
};

LoopbackHttps::LoopbackHttps() : state_(std::make_unique<State>()) {
    // A fresh P-256 key and a self-signed certificate (a CA) for localhost and 127.0.0.1.
    const std::string key = (state_->folder.path() / "key.pem").string();
    const Outcome made = runProgram(
        "/usr/bin/openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days",
                             "2", "-subj", "/CN=localhost", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                             "-keyout", key, "-out", certificateFile().string()});
    require(made.exitCode == 0, "openssl req: " + made.err);
    state_->server = std::make_unique<httplib::SSLServer>(certificateFile().c_str(), key.c_str());
    require(state_->server->is_valid(), "TLS context");
    state_->server->set_error_handler([](const httplib::Request&, httplib::Response&) {});
    const auto handler = [state = state_.get()](const httplib::Request& request, httplib::Response& response) {
        state->handle(request, response);
    };
    state_->server->Post(R"(/.*)", handler);
    state_->server->Get(R"(/.*)", handler);
    state_->port = state_->server->bind_to_any_port("127.0.0.1");
    require(state_->port > 0, "bind");
    state_->thread = std::thread([server = state_->server.get()] {
        // A client that hangs up mid-reply must not kill the test with SIGPIPE; the workers inherit this thread's mask.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        server->listen_after_bind();
    });
    while (!state_->server->is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackHttps::~LoopbackHttps() { stop(); }

std::string LoopbackHttps::url(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(state_->port) + path;
}

std::filesystem::path LoopbackHttps::certificateFile() const { return state_->folder.path() / "cert.pem"; }

std::string LoopbackHttps::localServerLines() const {
    return "local = " + url("/v2/") + "\nlocal_ca = " + certificateFile().string() + "\n";
}

void LoopbackHttps::answer(std::string body, int status, std::map<std::string, std::string> headers) {
    std::lock_guard lock(state_->mutex);
    state_->script.push_back({std::move(body), status, std::move(headers), std::nullopt});
}

void LoopbackHttps::answer(StreamedReply reply) {
    std::lock_guard lock(state_->mutex);
    state_->script.push_back({{}, 200, {}, reply});
}

std::size_t LoopbackHttps::streamedBytes() const {
    std::lock_guard lock(state_->mutex);
    return state_->streamed;
}

std::vector<SeenRequest> LoopbackHttps::seen() const {
    std::lock_guard lock(state_->mutex);
    return state_->seen;
}

void LoopbackHttps::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
    }
    state_->stopping.notify_all();
    state_->server->stop();
    if (state_->thread.joinable())
        state_->thread.join();
}

}  // namespace velmo::test
