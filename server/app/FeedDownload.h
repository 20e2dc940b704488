#pragma once
// A feed published at an http(s) URL. tarvod keeps one copy of it per city and feed in its data
// folder ($XDG_DATA_HOME/tarvod/feeds/<city>--<feed>.zip), with the copy's ETag and
// Last-Modified beside it, so that a refresh is a conditional request and a start works while
// the publisher's server is down. A download goes to a temporary file first; only a checked one
// becomes the kept copy, by rename.

#include "server/realtime/Fetch.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace velmo::tarvod {

struct FeedLimits {
    std::filesystem::path folder;  // of the kept copies; empty: defaultFeedFolder()
    std::chrono::seconds refresh{24 * 3600};
    std::chrono::seconds timeout{300};  // for a whole download, redirects included
    std::size_t maxBytes = std::size_t{512} << 20;
};

// A feed entry that names an http:// or https:// URL rather than a path.
bool isUrl(std::string_view path);

// $XDG_DATA_HOME/tarvod/feeds (or its HOME fallback); empty without a home folder.
std::filesystem::path defaultFeedFolder();

class FeedDownload {
public:
    struct Result {
        realtime::FetchOutcome outcome = realtime::FetchOutcome::Failed;
        std::string error;
        std::filesystem::path file;  // the temporary file of a Fresh download
        std::string etag;
        std::string lastModified;
    };

    FeedDownload(const std::string& city, const std::string& feed, std::string url, FeedLimits limits);

    [[nodiscard]] const std::filesystem::path& keptCopy() const { return copy_; }
    [[nodiscard]] bool haveCopy() const;
    // The URL as it may be shown: no user info, query or fragment.
    [[nodiscard]] std::string shown() const { return realtime::shownLocation(url_); }

    // Downloads into the temporary file on `io`, conditionally when the kept copy came from the
    // same URL. `done` runs on `io` (see realtime::fetchAsync) after the outcome is logged.
    void start(boost::asio::io_context& io, std::function<void(Result)> done) const;
    // The same, waiting for the outcome.
    [[nodiscard]] Result download() const;
    // Makes a checked download the kept copy, with its validators; the cause when it cannot.
    [[nodiscard]] std::string keep(const Result& result) const;
    // Removes a download that is not to be kept.
    static void discard(const Result& result);
    // Removes what a download cut short left behind.
    void dropPartial() const;

private:
    std::string what_;  // "city X, feed Y" for the log
    std::string url_;
    FeedLimits limits_;
    std::filesystem::path copy_;
    std::filesystem::path validators_;
    std::filesystem::path temp_;
};

}  // namespace velmo::tarvod
