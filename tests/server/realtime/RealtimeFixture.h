#pragma once

// A small city with live data built in the test from the generated message classes.

#include "server/query/Engine.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"

#include "tests/server/TestFeed.h"

#include <date/tz.h>

namespace velmo::test {

using namespace std::chrono_literals;
namespace pb = realtime::pb;

inline constexpr double kLat = 47.5;
inline constexpr double kLon = 19.05;

// Local time in Budapest.
inline query::TimePoint budapest(date::year_month_day day, std::chrono::seconds time) {
    return date::floor<std::chrono::seconds>(
        date::make_zoned("Europe/Budapest", date::local_days(day) + time).get_sys_time());
}

// Friday 14 March 2025, 08:00 in Budapest.
inline const query::TimePoint kNow = budapest(date::year(2025) / 3 / 14, 8h);

inline std::int64_t unix(query::TimePoint t) { return t.time_since_epoch().count(); }

// Stop A at the query position, B 1.1 km north, C 2.2 km north (station CS);
// route R9 (bus): T1 leaves A at 07:50, T2 at 08:05, T3 at 08:10; each reaches
// B ten minutes and C twenty minutes later. Route R5 (tram) runs T5 from B.
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
    b.trip("T5", "R5", {{"B", "08:06:00"}, {"C", "08:16:00"}});
    return b;
}

inline pb::FeedMessage message(query::TimePoint stamp) {
    pb::FeedMessage m;
    m.mutable_header()->set_gtfs_realtime_version("2.0");
    m.mutable_header()->set_timestamp(static_cast<std::uint64_t>(unix(stamp)));
    return m;
}

inline pb::TripUpdate* tripUpdate(pb::FeedMessage& m, const std::string& trip, const std::string& startDate = "") {
    auto* e = m.add_entity();
    e->set_id("tu-" + trip);
    auto* u = e->mutable_trip_update();
    u->mutable_trip()->set_trip_id(trip);
    if (!startDate.empty()) {
        u->mutable_trip()->set_start_date(startDate);
    }
    return u;
}

inline pb::TripUpdate::StopTimeUpdate* stopDelay(pb::TripUpdate* u, std::uint32_t sequence, int delay) {
    auto* s = u->add_stop_time_update();
    s->set_stop_sequence(sequence);
    s->mutable_departure()->set_delay(delay);
    return s;
}

// A city with a live slot; apply() lays messages over it as the poller would.
struct LiveCity {
    std::shared_ptr<realtime::Live> live = std::make_shared<realtime::Live>();
    query::Snapshot snapshot;
    std::chrono::seconds maxAge = 300s;

    explicit LiveCity(const FeedBuilder& b = liveNetwork()) {
        snapshot.cities.push_back(query::City::build({"bp", "", "", ""}, gtfs::loadFeed(b.directory()), live));
    }
    const query::City& city() const { return *snapshot.cities.front(); }

    realtime::BuildStats apply(std::vector<pb::FeedMessage> messages, query::TimePoint now = kNow) {
        std::vector<realtime::Input> inputs;
        for (auto& m : messages) {
            const auto stamp = query::TimePoint(std::chrono::seconds(m.header().timestamp()));
            inputs.push_back({std::make_shared<const pb::FeedMessage>(std::move(m)), stamp});
        }
        realtime::BuildStats stats;
        live->publish(realtime::buildOverlay(city().feed, city().zone, inputs, now, maxAge, &stats));
        return stats;
    }

    query::NearbyResult nearby(query::TimePoint now = kNow, std::int64_t radius = 200,
                               std::int64_t minutes = 30) const {
        query::NearbyParams p;
        p.lat = kLat;
        p.lon = kLon;
        p.fetchRadius = radius;
        p.realRadius = radius;
        p.minutes = minutes;
        return query::nearby(snapshot, p, now);
    }
};

}  // namespace velmo::test
