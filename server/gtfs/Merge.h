#pragma once
// A city made of several feeds (a metro's trains, its buses, a railway) is served as one feed, so
// that a query sees them all: departures, stop groups and limits span the feeds.

#include "server/gtfs/Feed.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::gtfs {

struct FeedPart {
    std::string key;  // what the feed's ids are prefixed with in the merged feed
    std::shared_ptr<const Feed> feed;
};

// Stops of two feeds with the same stop_id and stop_name lying at most this far apart are one
// stop: operators that publish several feeds give a shared stop the same id in each.
inline constexpr double kSharedStopMetres = 10.0;

// One feed of the parts, in their order. A single part is returned as it is, its ids untouched.
// Of several, every id (agency, stop, route, trip, service) becomes "<key>:<id>", except that a
// stop shared with an earlier feed (see kSharedStopMetres) keeps the earlier feed's id and is
// also found under its own ("bus:X" leads to "subway:X"). Throws FeedError when the feeds' time
// zones differ: their times could not be compared.
std::shared_ptr<const Feed> mergeFeeds(std::vector<FeedPart> parts);

// What the live sources of the feed `key` of a merged feed are given: their overlay is built
// against `merged`, their ids read as "<key>:<id>" (see realtime::buildOverlay).
std::shared_ptr<const Feed> liveView(std::shared_ptr<const Feed> merged, std::string_view key);

}  // namespace velmo::gtfs
