#pragma once
// Reading one live-data source: a file, or an http(s) URL fetched with one deadline for the
// whole transfer and the message size cap applied while the body arrives.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

namespace boost::asio {
class io_context;
}

namespace velmo::realtime {

enum class FetchOutcome {
    Fresh,
    NotModified,
    Failed
};

struct Fetched {
    FetchOutcome outcome = FetchOutcome::Failed;
    std::string body;
    std::string validator;  // Last-Modified, or the file's modification time
    std::string error;
};

// Reads a source once. `validator` is the previous one: an unchanged source
// answers NotModified (HTTP If-Modified-Since, or the same file time).
Fetched fetch(const std::string& location, const std::string& validator, std::chrono::seconds timeout);

// The same on `io`: a file is read before this returns, an http(s) URL is fetched
// asynchronously. `done` runs once, on `io`, at the latest `timeout` after the call; it
// never runs when `io` is stopped and destroyed first, which cancels the transfer.
void fetchAsync(boost::asio::io_context& io, const std::string& location, const std::string& validator,
                std::chrono::seconds timeout, std::function<void(Fetched)> done);

// A source's location as it may be shown (status, metrics, logs): an http(s) URL keeps its
// scheme, host, port and path and loses user info, query and fragment, where keys tend to
// live; a file path stays as it is.
std::string shownLocation(std::string_view location);

}  // namespace velmo::realtime
