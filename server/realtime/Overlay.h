#pragma once

#include "server/SharedSlot.h"
#include "server/gtfs/Feed.h"

#include <date/tz.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace velmo::realtime {

namespace pb {
class FeedMessage;
}

using TimePoint = std::chrono::sys_seconds;

inline constexpr std::int64_t kNoPrediction = std::numeric_limits<std::int64_t>::min();

// The live state of one run of a trip (a trip on one service day).
struct RunUpdate {
    bool canceled = false;
    // Per stop time of the trip, in order: predicted Unix times, kNoPrediction
    // where the timetable stands; skipped stops are not served.
    std::vector<std::int64_t> arrival;
    std::vector<std::int64_t> departure;
    std::vector<std::uint8_t> skipped;
};

// A stop of a trip the timetable does not have (an extra or replacement run), at its predicted
// times.
struct AddedCall {
    gtfs::StopIdx stop;
    std::int64_t arrival = 0;  // Unix times
    std::int64_t departure = 0;
};

// A trip that live data adds to the timetable: ADDED in its descriptor, with a route the
// timetable knows and at least one stop it knows.
struct AddedTrip {
    std::string tripId;  // as the city spells it; more/ and vehicle/ find the trip by it
    gtfs::RouteIdx route;
    std::uint8_t direction = 0;
    date::sys_days day{};          // its service day: start_date, else the local date of its first stop
    std::vector<AddedCall> calls;  // in the order of the update, skipped stops left out
};

struct VehicleState {
    double lat = 0;
    double lon = 0;
    std::optional<double> bearing;
    std::optional<double> speed;  // metres per second
    std::int64_t timestamp = 0;
    std::string label;
    std::string currentStopId;
    std::string status;  // "INCOMING_AT", "STOPPED_AT" or "IN_TRANSIT_TO"
};

// What an alert names: every field given must match.
struct Selector {
    std::string agencyId;
    std::string routeId;
    std::string tripId;
    std::string stopId;
    std::optional<int> routeType;
    std::optional<int> directionId;
};

struct AlertInfo {
    std::vector<std::pair<std::int64_t, std::int64_t>> periods;  // [start, end]; empty: always
    std::vector<Selector> selectors;
    std::string text;
};

// One departure or trip as alerts see it.
struct Subject {
    std::string_view agencyId;
    std::string_view routeId;
    int routeType = -1;
    std::string_view tripId;
    int directionId = -1;
    std::string_view stopId;     // empty: the trip as a whole
    std::string_view stationId;  // the stop's parent station, if any
};

// Live data laid over one city's timetable, built against one feed and never
// changed afterwards; a newer overlay replaces it whole.
struct Overlay {
    std::shared_ptr<const gtfs::Feed> feed;  // the timetable the indices refer to
    TimePoint expires{};                     // after this the timetable alone counts
    std::unordered_map<std::uint64_t, RunUpdate> runs;
    // Runs of frequency-based trips by (trip, service day, start after the day's zero): each run
    // of the template is a run of its own.
    std::map<std::tuple<std::uint32_t, std::int32_t, std::int32_t>, RunUpdate> frequencyRuns;
    std::vector<AddedTrip> added;
    // For each stop index, the (added trip, call) pairs that board there.
    std::unordered_map<std::uint32_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>> addedAt;
    // Largest shifts of a prediction against the timetable, in seconds: how far
    // beyond a time window a scheduled departure may lie and still fall into it.
    std::int64_t maxLate = 0;
    std::int64_t maxEarly = 0;
    std::unordered_map<std::string, VehicleState> vehicles;  // by trip_id, the newest
    std::vector<AlertInfo> alerts;

    [[nodiscard]] const RunUpdate* run(gtfs::TripIdx trip, date::sys_days day) const;
    // The run of a frequency-based trip that starts `start` after the service day's zero.
    [[nodiscard]] const RunUpdate* run(gtfs::TripIdx trip, date::sys_days day, gtfs::Seconds start) const;
    [[nodiscard]] const AddedTrip* addedTrip(std::string_view tripId) const;
    [[nodiscard]] const VehicleState* vehicle(std::string_view tripId) const;
    // Texts of the alerts active at `now` that name the subject, in feed order.
    [[nodiscard]] std::vector<std::string> warnings(const Subject& subject, TimePoint now) const;
    // Whether the overlay may be laid over `current` at `now`.
    [[nodiscard]] bool usable(const std::shared_ptr<const gtfs::Feed>& current, TimePoint now) const {
        return feed == current && now <= expires;
    }

    static std::uint64_t key(gtfs::TripIdx trip, date::sys_days day) {
        return (static_cast<std::uint64_t>(trip.value) << 32) |
               static_cast<std::uint32_t>(day.time_since_epoch().count());
    }
    static std::tuple<std::uint32_t, std::int32_t, std::int32_t> key(gtfs::TripIdx trip, date::sys_days day,
                                                                     gtfs::Seconds start) {
        return {trip.value, static_cast<std::int32_t>(day.time_since_epoch().count()), start.count()};
    }
};

// One parsed message and the moment its data stands for (the header's time
// stamp, or when it was received if the stamp is missing or in the future).
struct Input {
    std::shared_ptr<const pb::FeedMessage> message;
    TimePoint stamp{};
};

// Counts from one build, for logs and metrics.
struct BuildStats {
    std::uint64_t tripUpdates = 0;
    std::uint64_t matchedTrips = 0;
    std::uint64_t unknownTrips = 0;  // trip ids not in the timetable, or no run near now
    std::uint64_t canceledTrips = 0;
    std::uint64_t skippedStops = 0;
    std::uint64_t addedTrips = 0;     // added trips laid over (counted in matchedTrips too)
    std::uint64_t frequencyRuns = 0;  // runs of frequency-based trips matched (in matchedTrips too)
    std::uint64_t unknownStops = 0;   // stop time updates naming no stop of their trip
    std::uint64_t implausible = 0;    // predictions shifted by more than kMaxShift
    std::uint64_t vehicles = 0;
    std::uint64_t alerts = 0;
};

// Predictions shifted further than this from the timetable are ignored.
inline constexpr std::int64_t kMaxShift = 6 * 3600;

// Builds the overlay of the inputs whose stamp is at most `maxAge` old at `now`
// (an overlay with no input expires at once). Never throws on bad content:
// what cannot be matched is counted and left out.
std::shared_ptr<const Overlay> buildOverlay(std::shared_ptr<const gtfs::Feed> feed, const date::time_zone* zone,
                                            std::span<const Input> inputs, TimePoint now, std::chrono::seconds maxAge,
                                            BuildStats* stats = nullptr);

// The slot through which a city's current overlay is published and read.
// Readers hold the lock only to take a reference; one thread publishes.
class Live {
public:
    [[nodiscard]] std::shared_ptr<const Overlay> current() const { return current_.load(); }
    // The replaced overlay is held until the next publish, so that freeing it
    // falls to the publishing thread and not to a request that still read it.
    void publish(std::shared_ptr<const Overlay> overlay);

    // Slots for the `n` feeds of a city merged from several, whose live sources are matched
    // apart (each through its feed's gtfs::liveView): a publish into one of them publishes into
    // `city` the newest overlay of every feed slot combined, those built against the same feed
    // as the one just published. A feed's overlay without any data leaves the combination, so
    // that a source gone silent does not cut the others' time short.
    static std::vector<std::shared_ptr<Live>> feedSlots(std::shared_ptr<Live> city, std::size_t n);

private:
    struct Combiner;
    SharedSlot<const Overlay> current_;
    std::shared_ptr<const Overlay> retired_;  // touched by the publisher only
    std::shared_ptr<Combiner> combiner_;      // feed slots only
    std::size_t slot_ = 0;
};

}  // namespace velmo::realtime
