#pragma once

#include "server/gtfs/Types.h"

#include <date/date.h>

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace velmo::gtfs {

struct Agency {
    std::string id;
    std::string name;
    std::string url;
    std::string timezone;
};

enum class LocationType : std::uint8_t {
    Stop = 0,
    Station = 1,
    Entrance = 2,
    Node = 3,
    Boarding = 4
};

struct Stop {
    std::string id;
    std::string name;
    double lat = 0;
    double lon = 0;
    LocationType type = LocationType::Stop;
    StopIdx parent;  // the station this stop belongs to, if any
};

struct Route {
    std::string id;
    std::string shortName;
    std::string longName;
    int type = 3;
    AgencyIdx agency;
};

struct Trip {
    std::string id;
    RouteIdx route;
    ServiceIdx service;
    std::string headsign;
    std::uint8_t direction = 0;
    std::uint32_t firstStopTime = 0;  // into Feed::stopTimes
    std::uint32_t stopTimeCount = 0;
    bool frequencyBased = false;  // its times are a template; runs come from frequencies.txt
};

struct StopTime {
    StopIdx stop;
    Seconds arrival{};
    Seconds departure{};
    std::uint32_t headsign = 0;  // into Feed::stopHeadsigns; 0 means none
    std::uint8_t pickupType = 0;
    std::uint32_t sequence = 0;  // stop_sequence as the feed gives it (live updates name stops by it)
};

struct Frequency {
    TripIdx trip;
    Seconds start{};
    Seconds end{};
    Seconds headway{};
};

// One boarding opportunity at a stop: a trip (or one run of a frequency-based
// trip) leaving at `departure`. The last stop of a trip and stops without
// pickup are not listed.
struct StopDeparture {
    Seconds departure{};
    TripIdx trip;
    std::uint32_t stopTime = 0;  // into Feed::stopTimes
};

struct FeedInfo {
    std::string publisherName;
    std::string publisherUrl;
    std::string version;
    std::optional<date::sys_days> startDate;
    std::optional<date::sys_days> endDate;
};

// The days on which each service runs, from calendar.txt and calendar_dates.txt.
class ServiceCalendar {
public:
    void resize(std::size_t services);
    void set(ServiceIdx service, date::sys_days day, bool active);
    [[nodiscard]] bool active(ServiceIdx service, date::sys_days day) const;
    [[nodiscard]] bool anyActive() const;
    // The service runs on at least one day.
    [[nodiscard]] bool runs(ServiceIdx service) const;
    // First and last day on which some service runs (meaningless when !anyActive()).
    [[nodiscard]] date::sys_days firstDay() const;
    [[nodiscard]] date::sys_days lastDay() const;
    // Adds the services of `other` after these (their indices shift by the services held so far).
    void append(const ServiceCalendar& other);

private:
    struct Days {
        date::sys_days first{};
        std::vector<bool> on;
    };
    std::vector<Days> services_;
};

// A loaded static feed. Immutable once built; all indices refer to these tables.
struct Feed {
    std::vector<Agency> agencies;
    std::vector<Stop> stops;
    std::vector<Route> routes;
    std::vector<Trip> trips;
    std::vector<StopTime> stopTimes;
    std::vector<std::string> stopHeadsigns{std::string()};
    std::vector<std::string> serviceIds;
    std::vector<Frequency> frequencies;
    ServiceCalendar calendar;
    FeedInfo info;

    std::unordered_map<std::string, StopIdx> stopById;
    std::unordered_map<std::string, RouteIdx> routeById;
    std::unordered_map<std::string, TripIdx> tripById;

    // The keys of the feeds this one was merged from, whose ids carry "<key>:" (see mergeFeeds);
    // empty for a feed as its agency publishes it.
    std::vector<std::string> partKeys;
    // Set only on the stand-in from liveView: the merged feed it stands for, and the key of the
    // feed whose own ids the live sources that are given it use.
    std::shared_ptr<const Feed> viewOf;
    std::string viewKey;

    // Per-stop departures sorted by time (compressed rows: offsets has stops+1 entries).
    std::vector<std::uint32_t> departureOffsets;
    std::vector<StopDeparture> departures;

    [[nodiscard]] std::span<const StopDeparture> departuresAt(StopIdx stop) const {
        return {departures.data() + departureOffsets[stop.get()], departures.data() + departureOffsets[stop.get() + 1]};
    }
    [[nodiscard]] std::span<const StopTime> stopTimesOf(TripIdx trip) const {
        const Trip& t = trips[trip.get()];
        return {stopTimes.data() + t.firstStopTime, t.stopTimeCount};
    }
    [[nodiscard]] const Stop& stop(StopIdx i) const { return stops[i.get()]; }
    [[nodiscard]] const Route& route(RouteIdx i) const { return routes[i.get()]; }
    [[nodiscard]] const Trip& trip(TripIdx i) const { return trips[i.get()]; }
    // The time zone of the feed's agencies (GTFS requires them to agree).
    [[nodiscard]] const std::string& timezone() const { return agencies.front().timezone; }
};

}  // namespace velmo::gtfs
