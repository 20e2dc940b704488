#pragma once

#include "server/gtfs/Directory.h"
#include "server/gtfs/Feed.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string_view>

namespace velmo::gtfs {

// A feed that cannot be used at all; the message names the file and the cause.
class FeedError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Loads and indexes a whole feed. Bad rows are logged (tag "gtfs": file, line,
// reason) and skipped; a missing required file or column, an unknown time zone
// or a feed without any running service throws FeedError.
std::shared_ptr<const Feed> loadFeed(const Directory& dir);

// "H:MM:SS" or "HH:MM:SS", hours may pass 24; nothing for an empty or bad text.
std::optional<Seconds> parseTime(std::string_view text);
// "YYYYMMDD"; nothing for a bad text or an impossible date.
std::optional<date::sys_days> parseDate(std::string_view text);

}  // namespace velmo::gtfs
