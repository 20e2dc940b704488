#pragma once
// One HTTPS server on 127.0.0.1 for every test that needs real TLS, with a certificate of its own (openssl makes it;
// its PEM file is there for the client to trust). Every request is recorded and answered with the scripted replies in
// order; without a script the answer is {"error":false}. A scripted reply may also be streamed: large, slow or endless.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmo::test {

struct SeenRequest {
    std::string method;
    std::string path;                            // with the query
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    // The header's value, or "<absent>"; the name is matched ignoring case.
    std::string header(std::string name) const;
};

// A reply of `bytes` filler bytes written `piece` bytes at a time, `pause` apart, with a
// Content-Length when `announced` and chunked otherwise. It ends early when the client goes
// away or the server stops; SIZE_MAX bytes never end on their own.
struct StreamedReply {
    std::size_t bytes = 0;
    bool announced = true;
    std::size_t piece = 64 * 1024;
    std::chrono::milliseconds pause{0};
};

class LoopbackHttps {
public:
    LoopbackHttps();
    ~LoopbackHttps();
    LoopbackHttps(const LoopbackHttps&) = delete;
    LoopbackHttps& operator=(const LoopbackHttps&) = delete;

    // "https://127.0.0.1:PORT" followed by `path`.
    std::string url(const std::string& path) const;
    // The server's certificate (PEM), for the client's extra trust.
    std::filesystem::path certificateFile() const;
    // servers.conf lines that make this server (url("/v2/")) the local base, trusted through its certificate.
    std::string localServerLines() const;

    // Queues one reply; replies are used in the order queued.
    void answer(std::string body, int status = 200, std::map<std::string, std::string> headers = {});
    void answer(StreamedReply reply);
    // Bytes of streamed replies written to clients so far.
    std::size_t streamedBytes() const;
    std::vector<SeenRequest> seen() const;
    // Closes the port; later connections are refused.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmo::test
