#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>

using namespace velmo;
using namespace velmo::test;

namespace {

std::vector<std::string> trips(const std::vector<query::Departure>& list) {
    std::vector<std::string> out;
    for (const auto& d : list) {
        out.push_back(d.tripId + (d.tripDepartureGPS ? "*" : ""));
    }
    return out;
}

using Ids = std::vector<std::string>;

const query::Departure* find(const query::NearbyResult& r, const std::string& trip) {
    for (const auto& d : r.stopDates) {
        if (d.tripId == trip) {
            return &d;
        }
    }
    return nullptr;
}

// Departure times of a trip's stops as the trip details give them, in seconds after 08:00.
std::vector<std::int64_t> stopTimes(const LiveCity& c, const std::string& trip, query::TimePoint now = kNow) {
    const auto r = query::tripDetails(c.snapshot, "bp", trip, "", now);
    std::vector<std::int64_t> out;
    for (const auto& s : r.stops) {
        out.push_back(s.departureTimestamp - unix(kNow));
    }
    return out;
}

}  // namespace

TEST(Overlay, WithoutLiveDataTheTimetableStands) {
    const LiveCity c;
    const auto r = c.nearby();
    EXPECT_EQ(trips(r.stopDates), (Ids{"T2", "T3"}));
}

TEST(Overlay, DelayCarriesForwardUntilTheNextUpdate) {
    LiveCity c;
    auto m = message(kNow);
    auto* u = tripUpdate(m, "T2");
    stopDelay(u, 2, 120);  // B two minutes late; A before it keeps the timetable
    c.apply({m});
    EXPECT_EQ(stopTimes(c, "T2"), (std::vector<std::int64_t>{300, 900 + 120, 1500 + 120}));

    auto m2 = message(kNow);
    auto* u2 = tripUpdate(m2, "T2");
    stopDelay(u2, 1, 60);
    stopDelay(u2, 3, -30);
    c.apply({m2});
    EXPECT_EQ(stopTimes(c, "T2"), (std::vector<std::int64_t>{360, 960, 1470}));
    const auto details = query::tripDetails(c.snapshot, "bp", "T2", "", kNow);
    EXPECT_TRUE(details.stops[1].gps);

    const auto r = c.nearby();
    const auto* d = find(r, "T2");
    ASSERT_NE(d, nullptr);
    EXPECT_TRUE(d->tripDepartureGPS);
    EXPECT_EQ(d->tripDepartureTimestamp, unix(kNow) + 360);
    EXPECT_EQ(d->tripDepartureSeconds, 8 * 3600 + 360);
    EXPECT_EQ(d->tripDepartureMinutesText, "6");
    EXPECT_FALSE(find(r, "T3")->tripDepartureGPS);  // another trip keeps its timetable
}

TEST(Overlay, AbsoluteTimesStopIdsAndArrivalOnlyUpdates) {
    LiveCity c;
    auto m = message(kNow);
    auto* u = tripUpdate(m, "T3");
    auto* a = u->add_stop_time_update();
    a->set_stop_id("A");  // matched by stop_id when no stop_sequence is given
    a->mutable_departure()->set_time(unix(kNow) + 11 * 60);
    auto* b = u->add_stop_time_update();
    b->set_stop_id("B");
    b->mutable_arrival()->set_time(unix(kNow) + 23 * 60);  // arrival only: departure shifts alike
    c.apply({m});
    EXPECT_EQ(stopTimes(c, "T3"), (std::vector<std::int64_t>{660, 1380, 1800 + 180}));
}

TEST(Overlay, CancelledTripAndSkippedStopLeaveTheLists) {
    LiveCity c;
    auto m = message(kNow);
    tripUpdate(m, "T2")->mutable_trip()->set_schedule_relationship(pb::TripDescriptor::CANCELED);
    auto* u = tripUpdate(m, "T3");
    stopDelay(u, 1, 0)->set_schedule_relationship(pb::TripUpdate::StopTimeUpdate::SKIPPED);
    c.apply({m});
    EXPECT_EQ(c.nearby().error, query::kNoTrips);

    // From B (radius 3 km): T3 still serves B; T2 nowhere.
    const auto wide = c.nearby(kNow, 3000);
    for (const auto& d : wide.stopDates) {
        EXPECT_NE(d.tripId, "T2");
        EXPECT_FALSE(d.tripId == "T3" && d.stopUniqueId == "A");
    }
    EXPECT_NE(std::find_if(wide.stopDates.begin(), wide.stopDates.end(),
                           [](const auto& d) { return d.tripId == "T3" && d.stopUniqueId == "B"; }),
              wide.stopDates.end());
}

TEST(Overlay, LateTripEntersTheWindowAndOrdersByPrediction) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "T1"), 1, 22 * 60);  // 07:50 → 08:12
    stopDelay(tripUpdate(m, "T2"), 1, 6 * 60);   // 08:05 → 08:11
    c.apply({m});
    const auto r = c.nearby();
    EXPECT_EQ(trips(r.stopDates), (Ids{"T3", "T2*", "T1*"}));
    const auto* late = find(r, "T1");
    EXPECT_EQ(late->tripDepartureSeconds, 8 * 3600 + 720);
    EXPECT_EQ(late->tripUniqueId, "T1@20250314");

    // An early prediction moves a trip out of a short window.
    auto e = message(kNow);
    stopDelay(tripUpdate(e, "T2"), 1, 10 * 60);
    c.apply({e});
    EXPECT_EQ(trips(c.nearby(kNow, 200, 8).stopDates), Ids{});
}

TEST(Overlay, ServiceDateSelectsTheRun) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "T2", "20250313"), 1, 120);  // yesterday's run: not today's
    c.apply({m});
    EXPECT_FALSE(find(c.nearby(), "T2")->tripDepartureGPS);

    auto today = message(kNow);
    stopDelay(tripUpdate(today, "T2", "20250314"), 1, 120);
    c.apply({today});
    EXPECT_TRUE(find(c.nearby(), "T2")->tripDepartureGPS);

    // Without a date, the run nearest now: at 23:55 tomorrow's 08:05 is nearer than today's.
    const auto late = budapest(date::year(2025) / 3 / 14, 23h + 55min);
    auto undated = message(late);
    stopDelay(tripUpdate(undated, "T2"), 1, 120);
    c.apply({undated}, late);
    const auto details = query::tripDetails(c.snapshot, "bp", "T2", "", late);  // tomorrow's run
    EXPECT_TRUE(details.stops.front().gps);
    EXPECT_EQ(details.stops.front().departureTimestamp, unix(budapest(date::year(2025) / 3 / 15, 8h + 7min)));
}

TEST(Overlay, StaleDataFallsBackToTheTimetable) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "T2"), 1, 120);
    c.apply({m});
    EXPECT_TRUE(find(c.nearby(kNow + 300s), "T2")->tripDepartureGPS);
    EXPECT_FALSE(find(c.nearby(kNow + 301s), "T2")->tripDepartureGPS);

    // A message already older than the maximum age is not laid over at all.
    auto old = message(kNow - 301s);
    stopDelay(tripUpdate(old, "T2"), 1, 120);
    c.apply({old});
    EXPECT_FALSE(find(c.nearby(), "T2")->tripDepartureGPS);
}

TEST(Overlay, OverlayOfAnotherFeedIsIgnored) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "T2"), 1, 120);
    c.apply({m});
    // A reload brings a new feed; the old overlay's indices do not apply to it.
    query::Snapshot reloaded;
    reloaded.cities.push_back(
        query::City::build({"bp", "", "", ""}, gtfs::loadFeed(liveNetwork().directory()), c.live));
    query::NearbyParams p;
    p.lat = kLat;
    p.lon = kLon;
    p.fetchRadius = p.realRadius = 200;
    p.minutes = 30;
    const auto r = query::nearby(reloaded, p, kNow);
    ASSERT_FALSE(r.stopDates.empty());
    EXPECT_FALSE(r.stopDates.front().tripDepartureGPS);
}

TEST(Overlay, UnknownTripsAndStopsAreCountedAndLeftOut) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "nope"), 1, 60);
    auto* u = tripUpdate(m, "T2");
    stopDelay(u, 99, 600);
    auto* s = u->add_stop_time_update();
    s->set_stop_id("Z");
    s->mutable_departure()->set_delay(600);
    stopDelay(tripUpdate(m, "T3"), 1, 30 * 3600);  // thirty hours: implausible
    const auto stats = c.apply({m});
    EXPECT_EQ(stats.tripUpdates, 3u);
    EXPECT_EQ(stats.matchedTrips, 2u);
    EXPECT_EQ(stats.unknownTrips, 1u);
    EXPECT_EQ(stats.unknownStops, 2u);
    EXPECT_EQ(stats.implausible, 1u);
    EXPECT_EQ(trips(c.nearby().stopDates), (Ids{"T2", "T3"}));
}

namespace {

pb::Alert* alert(pb::FeedMessage& m, const std::string& text, const std::string& language = "hu") {
    auto* a = m.add_entity()->mutable_alert();
    auto* t = a->mutable_header_text()->add_translation();
    t->set_text(text);
    t->set_language(language);
    return a;
}

}  // namespace

TEST(Overlay, AlertsNameRoutesStopsAndTripsInTheirPeriod) {
    LiveCity c;
    auto m = message(kNow);
    auto* byRoute = alert(m, "Route 9 diverted", "en");
    byRoute->mutable_header_text()->add_translation()->set_text("A 9-es terelve");
    byRoute->mutable_header_text()->mutable_translation(1)->set_language("hu");
    byRoute->add_informed_entity()->set_route_id("R9");
    alert(m, "Béta lezárva")->add_informed_entity()->set_stop_id("B");
    alert(m, "T3 késik")->add_informed_entity()->mutable_trip()->set_trip_id("T3");
    alert(m, "Gamma állomás", "")->add_informed_entity()->set_stop_id("CS");  // the parent station
    auto* past = alert(m, "Tegnapi");
    past->add_informed_entity()->set_route_id("R5");
    past->add_active_period()->set_end(static_cast<std::uint64_t>(unix(kNow) - 1));
    auto* future = alert(m, "Holnapi");
    future->add_informed_entity()->set_route_id("R5");
    future->add_active_period()->set_start(static_cast<std::uint64_t>(unix(kNow) + 86400));
    auto* both = alert(m, "Villamos Béta");
    auto* sel = both->add_informed_entity();
    sel->set_route_id("R5");
    sel->set_stop_id("C");  // route and stop together: only at C
    c.apply({m});

    const auto r = c.nearby(kNow, 3000);
    std::map<std::string, std::vector<std::string>> byDeparture;
    for (const auto& d : r.stopDates) {
        byDeparture[d.tripId + "@" + d.stopUniqueId] = d.warningText;
    }
    using W = std::vector<std::string>;
    EXPECT_EQ(byDeparture["T2@A"], (W{"A 9-es terelve"}));
    EXPECT_EQ(byDeparture["T3@A"], (W{"A 9-es terelve", "T3 késik"}));
    EXPECT_EQ(byDeparture["T5@B"], (W{"Béta lezárva"}));
    ASSERT_TRUE(byDeparture.contains("T2@A"));
    const auto details = query::tripDetails(c.snapshot, "bp", "T3", "", kNow);
    EXPECT_EQ(details.warningText, (W{"A 9-es terelve", "T3 késik"}));

    // At C (station CS), reached by T5 as its last stop only: check via a trip ending elsewhere.
    auto b = liveNetwork();
    b.trip("T6", "R5", {{"C", "08:07:00"}, {"B", "08:17:00"}});
    LiveCity c2(b);
    auto m2 = message(kNow);
    alert(m2, "Gamma állomás", "")->add_informed_entity()->set_stop_id("CS");
    auto* both2 = alert(m2, "Villamos Gamma");
    both2->add_informed_entity()->set_route_id("R5");
    both2->mutable_informed_entity(0)->set_stop_id("C");
    alert(m2, "Villamos Béta")->add_informed_entity()->set_stop_id("B");
    c2.apply({m2});
    for (const auto& d : c2.nearby(kNow, 3000).stopDates) {
        if (d.tripId == "T6") {
            EXPECT_EQ(d.warningText, (W{"Gamma állomás", "Villamos Gamma"}));
        }
        if (d.tripId == "T5") {
            EXPECT_EQ(d.warningText, (W{"Villamos Béta"}));
        }
    }
}

TEST(Overlay, NewestVehiclePositionPerTrip) {
    LiveCity c;
    auto m = message(kNow);
    auto addVehicle = [&](const std::string& trip, std::int64_t t, float lat) {
        auto* v = m.add_entity()->mutable_vehicle();
        v->mutable_trip()->set_trip_id(trip);
        v->mutable_position()->set_latitude(lat);
        v->mutable_position()->set_longitude(19.05f);
        v->mutable_position()->set_bearing(90);
        v->set_timestamp(static_cast<std::uint64_t>(t));
        v->mutable_vehicle()->set_label("V" + std::to_string(t % 100));
        v->set_stop_id("B");
        v->set_current_status(pb::VehiclePosition::STOPPED_AT);
    };
    addVehicle("T2", unix(kNow) - 20, 47.51f);
    addVehicle("T2", unix(kNow) - 10, 47.52f);
    addVehicle("T2", unix(kNow) - 30, 47.53f);
    addVehicle("nope", unix(kNow), 47.5f);
    c.apply({m});
    const auto overlay = c.city().overlay(kNow);
    ASSERT_NE(overlay, nullptr);
    const auto* v = overlay->vehicle("T2");
    ASSERT_NE(v, nullptr);
    EXPECT_NEAR(v->lat, 47.52, 1e-5);
    EXPECT_EQ(v->timestamp, unix(kNow) - 10);
    EXPECT_EQ(v->status, "STOPPED_AT");
    EXPECT_EQ(v->currentStopId, "B");
    EXPECT_EQ(v->bearing, 90.0);
    EXPECT_FALSE(v->speed.has_value());
    EXPECT_EQ(overlay->vehicle("nope"), nullptr);
    EXPECT_EQ(overlay->vehicle("T3"), nullptr);
}
