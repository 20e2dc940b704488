#pragma once
// Shared by the server's tests: position and clock, a city with a live slot, messages in text format.

#include "server/query/Engine.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"
#include "server/realtime/Poller.h"

#include "tests/support/Feeds.h"

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

namespace velmo::test {

using namespace std::chrono_literals;
namespace pb = realtime::pb;
using Ids = std::vector<std::string>;

inline constexpr double kLat = 47.5;
inline constexpr double kLon = 19.05;
// Friday 14 March 2025, 08:00 in Budapest.
inline const query::TimePoint kNow = budapest(date::year(2025) / 3 / 14, 8h);

inline std::int64_t unix(query::TimePoint t) { return t.time_since_epoch().count(); }
// Unix time `minutes` after kNow, as text.
inline std::string inMinutes(int minutes) { return std::to_string(unix(kNow) + minutes * 60); }

// A query at the position.
inline query::NearbyParams around(std::int64_t radius = 500, std::int64_t minutes = 30) {
    query::NearbyParams p;
    p.lat = kLat;
    p.lon = kLon;
    p.fetchRadius = p.realRadius = radius;
    p.minutes = minutes;
    return p;
}

// "trip@stop" of each departure in order, "*" marking a predicted time, "!" a cancelled departure.
inline Ids ids(const std::vector<query::Departure>& list) {
    Ids out;
    for (const auto& d : list)
        out.push_back(std::string(d.tripId) + "@" + std::string(d.stopUniqueId) + (d.tripDepartureGPS ? "*" : "") +
                      (d.tripCancelled ? "!" : ""));
    return out;
}

// Stop A at the position, B 1.1 km north, C 2.2 km north (station CS); bus 9: T1 leaves A at 07:50, T2 at 08:05, T3 at
// 08:10, each reaching B ten and C twenty minutes later. Tram 5 runs T5 from B at 08:06 to C.
inline FeedBuilder liveNetwork() {
    FeedBuilder b;
    b.stop("A", "Alfa", kLat, kLon)
        .stop("B", "Béta", kLat + 0.01, kLon)
        .stop("CS", "Gamma", kLat + 0.02, kLon, "", 1)
        .stop("C", "Gamma", kLat + 0.02, kLon, "CS");
    b.route("R9", "9", 3).route("R5", "5", 0);
    b.trip("T1", "R9", {{"A", "07:50:00"}, {"B", "08:00:00"}, {"C", "08:10:00"}});
    b.trip("T2", "R9", {{"A", "08:05:00"}, {"B", "08:15:00"}, {"C", "08:25:00"}});
    b.trip("T3", "R9", {{"A", "08:10:00"}, {"B", "08:20:00"}, {"C", "08:30:00"}});
    return b.trip("T5", "R5", {{"B", "08:06:00"}, {"C", "08:16:00"}});
}

// A feed message stamped `stamp`, its entities written in protobuf text format.
inline pb::FeedMessage message(query::TimePoint stamp, const std::string& entities = "") {
    pb::FeedMessage m;
    EXPECT_TRUE(google::protobuf::TextFormat::ParseFromString(entities, &m)) << entities;
    m.mutable_header()->set_gtfs_realtime_version("2.0");
    m.mutable_header()->set_timestamp(static_cast<std::uint64_t>(unix(stamp)));
    return m;
}

// A trip update entity: the trip's id and more of its descriptor, then its stop time updates.
inline std::string tripUpdate(const std::string& trip, const std::string& stopTimes, const std::string& more = "") {
    return "entity { trip_update { trip { trip_id: '" + trip + "' " + more + " } " + stopTimes + " } } ";
}
inline std::string delay(int sequence, int seconds) {
    return "stop_time_update { stop_sequence: " + std::to_string(sequence) +
           " departure { delay: " + std::to_string(seconds) + " } } ";
}

// A message stamped `stamp` that delays T2 by two minutes from its first stop.
inline pb::FeedMessage delayedT2(query::TimePoint stamp = kNow) {
    return message(stamp, tripUpdate("T2", delay(1, 120)));
}

// The vehicle of a trip at a latitude, `age` seconds before kNow, at stop B.
inline std::string vehicle(const std::string& trip, double lat, int age) {
    return "entity { vehicle { trip { trip_id: '" + trip + "' } position { latitude: " + std::to_string(lat) +
           " longitude: 19.051 } timestamp: " + std::to_string(unix(kNow) - age) + " stop_id: 'B' } } ";
}

// Lays messages over a city's timetable as the poller would.
inline realtime::BuildStats publish(const realtime::CityTarget& target, std::vector<pb::FeedMessage> messages,
                                    query::TimePoint now = kNow) {
    std::vector<realtime::Input> inputs;
    for (auto& m : messages) {
        const auto stamp = query::TimePoint(std::chrono::seconds(m.header().timestamp()));
        inputs.push_back({std::make_shared<const pb::FeedMessage>(std::move(m)), stamp});
    }
    realtime::BuildStats stats;
    target.live->publish(realtime::buildOverlay(target.feed, target.zone, inputs, now, 300s, &stats));
    return stats;
}

// A city with a live slot; apply() lays messages over it.
struct LiveCity {
    std::shared_ptr<realtime::Live> live = std::make_shared<realtime::Live>();
    query::Snapshot snapshot;

    explicit LiveCity(const FeedBuilder& b = liveNetwork()) {
        snapshot.cities.push_back(query::City::build({"bp", "", "", ""}, b.load(), live));
    }
    const query::City& city() const { return *snapshot.cities.front(); }
    realtime::CityTarget target() const { return {city().feed, city().zone, live}; }
    realtime::BuildStats apply(std::vector<pb::FeedMessage> messages, query::TimePoint now = kNow) {
        return publish(target(), std::move(messages), now);
    }

    // The departures around stop A as ids().
    Ids nearby(query::TimePoint now = kNow, std::int64_t radius = 500, std::int64_t minutes = 30) const {
        return ids(query::nearby(snapshot, around(radius, minutes), now).stopDates);
    }
    // Departure times of a trip's stops in its details, in seconds after kNow.
    std::vector<std::int64_t> stopTimes(const std::string& trip, query::TimePoint now = kNow) const {
        std::vector<std::int64_t> out;
        for (const auto& s : query::tripDetails(snapshot, "bp", trip, "", now).stops)
            out.push_back(s.departureTimestamp - unix(kNow));
        return out;
    }
};

}  // namespace velmo::test
