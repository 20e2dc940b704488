#pragma once

#include "server/gtfs/Feed.h"
#include "server/query/Geo.h"

#include <date/tz.h>

#include <memory>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace velmo::query {

// Live data laid over the timetable (predictions, cancellations, alerts,
// vehicle positions). Filled by the realtime part of the service; the engine
// answers from the timetable alone while a city has none.
struct RealtimeOverlay;

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
    std::shared_ptr<const RealtimeOverlay> realtime;

    // Throws std::runtime_error for a bad night pattern or time zone.
    static std::shared_ptr<const City> build(CityConfig config, std::shared_ptr<const gtfs::Feed> feed);
};

// Everything a request reads, shared by all worker threads and never changed;
// a reload builds a new snapshot and swaps it in whole.
struct Snapshot {
    std::vector<std::shared_ptr<const City>> cities;

    [[nodiscard]] const City* city(std::string_view key) const;
};

}  // namespace velmo::query
