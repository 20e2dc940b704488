#pragma once
// Reading one live-data source: a file, or an http(s) URL fetched with one deadline for the
// whole transfer and the message size cap applied while the body arrives.

#include <chrono>
#include <cstddef>
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
    std::string etag;  // of a fresh http(s) answer, when the server sent one
};

// A request beyond the live-data poll: both validators of a copy kept before, a cap of its own,
// and the body streamed into a file instead of memory.
struct FetchOptions {
    std::string ifModifiedSince;  // a Last-Modified seen before
    std::string ifNoneMatch;      // an ETag seen before
    std::size_t maxBytes = 0;     // 0: the live-data message cap
    std::string toFile;           // when set, the body of any answer is written here (truncated first)
};

// Reads a source once. `validator` is the previous one: an unchanged source
// answers NotModified (HTTP If-Modified-Since, or the same file time).
Fetched fetch(const std::string& location, const std::string& validator, std::chrono::seconds timeout);

// The same on `io`: a file is read before this returns, an http(s) URL is fetched
// asynchronously. `done` runs once, on `io`, at the latest `timeout` after the call; it
// never runs when `io` is stopped and destroyed first, which cancels the transfer.
void fetchAsync(boost::asio::io_context& io, const std::string& location, const std::string& validator,
                std::chrono::seconds timeout, std::function<void(Fetched)> done);

// The same with FetchOptions. With `toFile` set, a Fresh answer's `body` stays empty and the
// file holds it; after any other outcome the file's content means nothing.
void fetchAsync(boost::asio::io_context& io, const std::string& location, const FetchOptions& options,
                std::chrono::seconds timeout, std::function<void(Fetched)> done);
Fetched fetch(const std::string& location, const FetchOptions& options, std::chrono::seconds timeout);

// A source's location as it may be shown (status, metrics, logs): an http(s) URL keeps its
// scheme, host, port and path and loses user info, query and fragment, where keys tend to
// live; a file path stays as it is.
std::string shownLocation(std::string_view location);

}  // namespace velmo::realtime
