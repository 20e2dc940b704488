#pragma once
// One HTTPS server on 127.0.0.1 for every test that needs real TLS: a fresh key and a
// self-signed certificate for localhost and 127.0.0.1 are made in-process for each server
// (the certificate's PEM file is there for the client to trust). Every request is recorded
// and answered with the scripted replies in order; without a script the answer is
// {"error":false}.

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace velmo::test {

struct SeenRequest {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;

    // The header's value, or "<absent>"; the name is matched ignoring case.
    std::string header(std::string name) const;
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
    // servers.conf lines that make this server (url("/v2/")) the local base, trusted through
    // its certificate.
    std::string localServerLines() const;

    // Queues one reply; replies are used in the order queued.
    void answer(std::string body, int status = 200);
    // Every later reply waits this long first (until the server stops).
    void delayReplies(std::chrono::milliseconds delay);
    std::vector<SeenRequest> seen() const;
    // Closes the port; later connections are refused.
    void stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace velmo::test
