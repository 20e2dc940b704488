#pragma once

#include "server/query/Snapshot.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::query {

using TimePoint = std::chrono::sys_seconds;

// Error codes of the service that the engine can give.
inline constexpr const char* kNoStops = "NOSTOPS";
inline constexpr const char* kNoTrips = "NOTRIPS";
inline constexpr const char* kNoTrip = "NOTRIP";
inline constexpr const char* kNoVehicle = "NOVEHICLE";

struct NearbyParams {
    double lat = 0;
    double lon = 0;
    std::int64_t fetchRadius = 0;
    std::int64_t realRadius = 0;
    std::int64_t minutes = 0;
    std::int64_t favSortMode = 3;
    std::vector<std::string> favRoutes;
    std::vector<std::string> favStops;

    // Radii to 1..5000 m, minutes to 1..120, favourite lists to their first
    // 500 entries, an unknown sort mode to 3.
    void clamp();
};

struct EngineOptions {
    int maxPerLine = 3;  // departures per (stop group, route, direction)
};

// One departure as the client's departure item lists it. The texts that come from the feed or
// its live data are views into them, kept valid by the NearbyResult that holds the departure.
struct Departure {
    double stopLat = 0;
    double stopLon = 0;
    std::int64_t stopDistance = 0;
    std::string_view stopFavoriteId;
    std::string_view stopUniqueId;
    bool stopNearest = false;
    bool stopFavorite = false;
    std::string_view stopName;
    std::string_view routeName;
    std::string_view routeFavoriteId;
    std::string routeUniqueId;
    bool routeFavorite = false;
    std::string routeType;
    std::string_view tripHeadsign;
    std::string_view tripId;
    std::string tripUniqueId;
    std::int64_t tripDepartureSeconds = 0;
    std::int64_t tripDepartureTimestamp = 0;
    std::string tripDepartureMinutesText;
    bool tripDepartureGPS = false;
    // Cancelled, or not stopping here: listed at its timetable time, its warnings led by
    // "A járat elmarad".
    bool tripCancelled = false;
    std::vector<std::string> warningText;
};

struct NearbyResult {
    std::string error;  // empty on success, else kNoStops or kNoTrips
    std::vector<Departure> stopDates;
    std::vector<Departure> stopDatesNearby;
    std::string cityName;
    std::string cityURL;
    std::string cityKey;
    // What the departures' texts point into, held while the result lives: a reload or a new
    // live file may replace the city's own meanwhile.
    std::shared_ptr<const gtfs::Feed> feed;
    std::shared_ptr<const RealtimeOverlay> overlay;
};

// Departures around a position at `now` (params are clamped first).
NearbyResult nearby(const Snapshot& snapshot, NearbyParams params, TimePoint now, const EngineOptions& options = {});

struct TripStop {
    std::string stopId;
    std::string stopName;
    double lat = 0;
    double lon = 0;
    std::int64_t arrivalTimestamp = 0;
    std::int64_t departureTimestamp = 0;
    bool gps = false;
    bool cancelled = false;  // the trip is cancelled, or does not stop here
    bool passed = false;
    bool selected = false;
};

struct TripResult {
    std::string error;  // empty on success, else kNoTrip
    std::string tripId;
    std::string routeName;
    std::string routeType;
    std::string headsign;
    std::vector<TripStop> stops;
    std::vector<std::string> warningText;
};

// The stops of a trip's run on the current service day (the run still under
// way, else the next one), `stopId` marked as selected. A trip that live data adds has
// the stops of its update, at their predicted times.
TripResult tripDetails(const Snapshot& snapshot, std::string_view cityKey, std::string_view tripId,
                       std::string_view stopId, TimePoint now);

struct VehicleResult {
    std::string error;  // empty on success, else kNoTrip or kNoVehicle
    realtime::VehicleState vehicle;
};

// The newest live position of a trip's vehicle: NOTRIP for a trip the city's
// timetable does not have, NOVEHICLE while no usable live data places it.
VehicleResult vehicle(const Snapshot& snapshot, std::string_view cityKey, std::string_view tripId, TimePoint now);

// The client's vehicle-type code for a GTFS route_type (basic or extended).
std::string routeTypeCode(int routeType, std::string_view shortName, const std::regex* nightPattern);

// Line names in natural order: digit runs compare by value ("9" < "10" < "10A").
bool naturalLess(std::string_view a, std::string_view b);

}  // namespace velmo::query
