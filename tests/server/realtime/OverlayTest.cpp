#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmo;
using namespace velmo::test;
using Times = std::vector<std::int64_t>;

TEST(Overlay, DelaysCarryForwardAbsoluteTimesAndArrivalsShiftDepartures) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "T2"), 2, 120);  // B two minutes late; A before it keeps the timetable
    c.apply({m});
    EXPECT_EQ(c.stopTimes("T2"), (Times{300, 900 + 120, 1500 + 120}));
    m = message(kNow);  // replaces the first
    auto* u = tripUpdate(m, "T2");
    stopDelay(u, 1, 60);
    stopDelay(u, 3, -30);
    // T3 by stop ids (no stop_sequence) and absolute times; at B an arrival only.
    u = tripUpdate(m, "T3");
    auto* a = u->add_stop_time_update();
    a->set_stop_id("A");
    a->mutable_departure()->set_time(unix(kNow) + 11 * 60);
    auto* b = u->add_stop_time_update();
    b->set_stop_id("B");
    b->mutable_arrival()->set_time(unix(kNow) + 23 * 60);
    c.apply({m});
    EXPECT_EQ(c.stopTimes("T2"), (Times{360, 960, 1470}));
    EXPECT_EQ(c.stopTimes("T3"), (Times{660, 1380, 1800 + 180}));
    EXPECT_TRUE(query::tripDetails(c.snapshot, "bp", "T2", "", kNow).stops[1].gps);
    const auto r = query::nearby(c.snapshot, around(3000), kNow).stopDates;
    EXPECT_EQ(ids(r), (Ids{"T2@A*", "T5@B", "T3@A*"}));  // another trip keeps its timetable
    EXPECT_EQ(std::tuple(r[0].tripDepartureTimestamp, r[0].tripDepartureSeconds, r[0].tripDepartureMinutesText),
              std::tuple(unix(kNow) + 360, 8 * 3600 + 360, "6"));
}

TEST(Overlay, CancellationsSkippedStopsAndPredictionsDecideWhatIsListed) {
    LiveCity c;
    auto m = message(kNow);
    tripUpdate(m, "T2")->mutable_trip()->set_schedule_relationship(pb::TripDescriptor::CANCELED);
    stopDelay(tripUpdate(m, "T3"), 1, 0)->set_schedule_relationship(pb::TripUpdate::StopTimeUpdate::SKIPPED);
    c.apply({m});
    EXPECT_EQ(c.nearby(), Ids{});
    EXPECT_EQ(c.nearby(kNow, 3000), (Ids{"T1@B", "T5@B", "T3@B"}));  // T3 still serves B, T2 nowhere
    // Predictions move trips into the window and out of it.
    m = message(kNow);
    stopDelay(tripUpdate(m, "T1"), 1, 22 * 60);  // 07:50 → 08:12
    stopDelay(tripUpdate(m, "T2"), 1, 6 * 60);   // 08:05 → 08:11
    c.apply({m});
    const auto r = query::nearby(c.snapshot, around(), kNow).stopDates;
    EXPECT_EQ(ids(r), (Ids{"T3@A", "T2@A*", "T1@A*"}));
    EXPECT_EQ(std::tuple(r[2].tripDepartureSeconds, r[2].tripUniqueId), std::tuple(8 * 3600 + 720L, "T1@20250314"));
    m = message(kNow);
    stopDelay(tripUpdate(m, "T2"), 1, 10 * 60);
    c.apply({m});
    EXPECT_EQ(c.nearby(kNow, 500, 8), Ids{});
}

TEST(Overlay, ServiceDateSelectsTheRun) {
    LiveCity c;
    for (const auto& [date, listed] : {std::pair{"20250313", "T2@A"}, {"20250314", "T2@A*"}}) {
        auto m = message(kNow);
        stopDelay(tripUpdate(m, "T2", date), 1, 120);
        c.apply({m});
        EXPECT_EQ(c.nearby(), (Ids{listed, "T3@A"})) << date;
    }
    // Without a date, the run nearest now: at 23:55 tomorrow's 08:05 is nearer than today's.
    const auto late = budapest(date::year(2025) / 3 / 14, 23h + 55min);
    c.apply({delayedT2(late)}, late);
    const auto first = query::tripDetails(c.snapshot, "bp", "T2", "", late).stops.front();
    EXPECT_EQ(std::pair(first.gps, first.departureTimestamp),
              std::pair(true, unix(budapest(date::year(2025) / 3 / 15, 8h + 7min))));
}

TEST(Overlay, StaleDataAndAnotherFeedFallBackToTheTimetable) {
    LiveCity c;
    c.apply({delayedT2()});
    EXPECT_EQ(c.nearby(kNow + 300s), (Ids{"T2@A*", "T3@A"}));
    EXPECT_EQ(c.nearby(kNow + 301s), (Ids{"T2@A", "T3@A"}));
    // A reload brings a new feed; the overlay's indices do not apply to it.
    query::Snapshot reloaded;
    reloaded.cities.push_back(query::City::build({"bp", "", "", ""}, liveNetwork().load(), c.live));
    EXPECT_EQ(ids(query::nearby(reloaded, around(), kNow).stopDates), (Ids{"T2@A", "T3@A"}));
    // A message already older than the maximum age is not laid over at all.
    c.apply({delayedT2(kNow - 301s)});
    EXPECT_EQ(c.nearby(), (Ids{"T2@A", "T3@A"}));
}

TEST(Overlay, UnknownTripsStopsAndImplausibleShiftsAreCountedAndLeftOut) {
    LiveCity c;
    auto m = message(kNow);
    stopDelay(tripUpdate(m, "nope"), 1, 60);
    auto* u = tripUpdate(m, "T2");
    stopDelay(u, 99, 600);
    auto* s = u->add_stop_time_update();
    s->set_stop_id("Z");
    s->mutable_departure()->set_delay(600);
    stopDelay(tripUpdate(m, "T3"), 1, 30 * 3600);
    const auto stats = c.apply({m});
    EXPECT_EQ(
        std::tuple(stats.tripUpdates, stats.matchedTrips, stats.unknownTrips, stats.unknownStops, stats.implausible),
        std::tuple(3u, 2u, 1u, 2u, 1u));
    EXPECT_EQ(c.nearby(), (Ids{"T2@A", "T3@A"}));
}

TEST(Overlay, AlertsNameRoutesStopsAndTripsInTheirPeriod) {
    auto b = liveNetwork();
    b.trip("T6", "R5", {{"C", "08:07:00"}, {"B", "08:17:00"}}, 1);
    LiveCity c(b);
    auto m = message(kNow);
    // Tagged alerts carry an English text first: the Hungarian one is picked.
    using Texts = std::vector<std::pair<std::string, std::string>>;
    const auto alert = [&m](const std::string& text, auto select, bool tagged = true) {
        auto* a = m.add_entity()->mutable_alert();
        for (const auto& [t, language] : tagged ? Texts{{"In English", "en"}, {text, "hu"}} : Texts{{text, ""}}) {
            auto* translation = a->mutable_header_text()->add_translation();
            translation->set_text(t);
            translation->set_language(language);
        }
        select(a->add_informed_entity());
        return a;
    };
    alert("A 9-es terelve", [](auto* e) { e->set_route_id("R9"); });
    alert("Béta lezárva", [](auto* e) { e->set_stop_id("B"); });
    alert("T3 késik", [](auto* e) { e->mutable_trip()->set_trip_id("T3"); });
    alert(
        "Gamma állomás", [](auto* e) { e->set_stop_id("CS"); }, false);  // the parent station; untagged
    alert("Villamos Gamma", [](auto* e) {
        e->set_route_id("R5");
        e->set_stop_id("C");
    });  // only at C
    alert("Tegnapi", [](auto* e) { e->set_route_id("R5"); })->add_active_period()->set_end(unix(kNow) - 1);
    alert("Holnapi", [](auto* e) { e->set_route_id("R5"); })->add_active_period()->set_start(unix(kNow) + 86400);
    c.apply({m});
    std::map<std::string, Ids> warnings;
    for (const auto& d : query::nearby(c.snapshot, around(3000), kNow).stopDates) {
        warnings[d.tripId + "@" + d.stopUniqueId] = d.warningText;
    }
    EXPECT_EQ(warnings, (std::map<std::string, Ids>{{"T2@A", {"A 9-es terelve"}},
                                                    {"T3@A", {"A 9-es terelve", "T3 késik"}},
                                                    {"T5@B", {"Béta lezárva"}},
                                                    {"T6@C", {"Gamma állomás", "Villamos Gamma"}}}));
    EXPECT_EQ(query::tripDetails(c.snapshot, "bp", "T3", "", kNow).warningText, (Ids{"A 9-es terelve", "T3 késik"}));
}

TEST(Overlay, NewestVehiclePositionPerTrip) {
    LiveCity c;
    auto m = message(kNow);
    vehicle(m, "T2", 47.51f, 20);
    vehicle(m, "T2", 47.52f, 10)->set_current_status(pb::VehiclePosition::STOPPED_AT);
    vehicle(m, "T2", 47.53f, 30);
    vehicle(m, "nope", 47.5f, 0);
    c.apply({m});
    const auto v = query::vehicle(c.snapshot, "bp", "T2", kNow);
    ASSERT_EQ(v.error, "");
    EXPECT_NEAR(v.vehicle.lat, 47.52, 1e-5);
    EXPECT_EQ(std::tuple(v.vehicle.timestamp, v.vehicle.status), std::tuple(unix(kNow) - 10, "STOPPED_AT"));
    EXPECT_EQ(query::vehicle(c.snapshot, "bp", "T3", kNow).error, query::kNoVehicle);
    EXPECT_EQ(query::vehicle(c.snapshot, "bp", "nope", kNow).error, query::kNoTrip);
    EXPECT_EQ(query::vehicle(c.snapshot, "elsewhere", "T2", kNow).error, query::kNoTrip);
    EXPECT_EQ(query::vehicle(c.snapshot, "bp", "T2", kNow + 301s).error, query::kNoVehicle);  // stale
}

// Mutated messages through the parser and the builder: nothing may crash or throw,
// and the answers stay well-formed. Seeded, so it repeats.
TEST(Overlay, FuzzedMessagesNeverBreakAnswers) {
    LiveCity c;
    auto m = delayedT2();
    stopDelay(m.mutable_entity(0)->mutable_trip_update(), 2, 0)
        ->set_schedule_relationship(pb::TripUpdate::StopTimeUpdate::SKIPPED);
    tripUpdate(m, "T3", "20250314")->mutable_trip()->set_schedule_relationship(pb::TripDescriptor::CANCELED);
    vehicle(m, "T1", 47.5f, 10);
    auto* a = m.add_entity()->mutable_alert();
    a->add_informed_entity()->set_route_id("R9");
    a->add_active_period()->set_start(1);
    a->mutable_header_text()->add_translation()->set_text("x");
    const std::string seed = m.SerializeAsString();
    std::mt19937_64 rng(20250314);
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes = seed;
        for (int edits = 1 + static_cast<int>(rng() % 3); edits > 0 && bytes.size() > 16; --edits) {
            const std::size_t at = 16 + rng() % (bytes.size() - 16);  // mostly past the header, so more parse
            switch (rng() % 4) {
                case 0: bytes[at] = static_cast<char>(rng()); break;
                case 1: bytes.erase(at, 1 + rng() % 4); break;
                case 2: bytes.insert(at, 1, static_cast<char>(rng())); break;
                default: bytes.resize(at); break;
            }
        }
        auto result = realtime::parseMessage(bytes);
        const auto* message = std::get_if<std::shared_ptr<const pb::FeedMessage>>(&result);
        if (message == nullptr) {
            EXPECT_FALSE(std::get<std::string>(result).empty());
            continue;
        }
        ++parsed;
        const realtime::Input input{*message, kNow};
        c.live->publish(realtime::buildOverlay(c.city().feed, c.city().zone, std::span(&input, 1), kNow, 300s));
        const auto r = query::nearby(c.snapshot, around(3000), kNow);
        EXPECT_TRUE(r.error.empty() || r.error == query::kNoTrips) << r.error;
        EXPECT_EQ(query::tripDetails(c.snapshot, "bp", "T2", "", kNow).stops.size(), 3u);
    }
    EXPECT_GT(parsed, 50);  // the mutants reach the builder, not only the parser's refusals
}
