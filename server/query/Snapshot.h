#pragma once

#include "server/gtfs/Feed.h"
#include "server/query/Geo.h"
#include "server/realtime/Overlay.h"

#include <date/tz.h>

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace velmo::query {

using TimePoint = std::chrono::sys_seconds;

// Live data laid over the timetable (predictions, cancellations, alerts,
// vehicle positions). Filled by the realtime part of the service; the engine
// answers from the timetable alone while a city has none, or while the
// overlay is stale or was built against another feed.
using RealtimeOverlay = realtime::Overlay;

// How a city is presented; empty texts fall back to the feed's agency.
struct CityConfig {
    std::string key;
    std::string name;
    std::string url;
    std::string nightPattern;  // ECMAScript regex over route_short_name; empty: none
};

// One loaded city: its feed and everything derived from it for queries.
struct City {
    std::string key;
    std::string name;
    std::string url;
    std::optional<std::regex> nightPattern;
    std::shared_ptr<const gtfs::Feed> feed;
    const date::time_zone* zone = nullptr;
    GridIndex index;
    // Stop group of each stop: the parent station, else the first of the
    // same-named stops lying within 150 m of one another.
    std::vector<gtfs::StopIdx> group;
    // Where the city's current overlay is published; it outlives feed reloads.
    std::shared_ptr<realtime::Live> realtime;

    // The overlay to use at `now`, or null when there is none fit for this feed.
    [[nodiscard]] std::shared_ptr<const RealtimeOverlay> overlay(TimePoint now) const;

    // Throws std::runtime_error for a bad night pattern or time zone.
    static std::shared_ptr<const City> build(CityConfig config, std::shared_ptr<const gtfs::Feed> feed,
                                             std::shared_ptr<realtime::Live> live = nullptr);
};

// Everything a request reads, shared by all worker threads and never changed;
// a reload builds a new snapshot and swaps it in whole.
struct Snapshot {
    std::vector<std::shared_ptr<const City>> cities;

    [[nodiscard]] const City* city(std::string_view key) const;
};

}  // namespace velmo::query
