// Live data: the overlay laid over the timetable, and the sources polled for it.
#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <thread>

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;
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

namespace {

std::string delayed(std::chrono::seconds stampOffset = 0s) { return delayedT2(kNow + stampOffset).SerializeAsString(); }

class SourceTest : public ::testing::Test {
protected:
    std::unique_ptr<realtime::Poller> poller(const std::string& location, realtime::PollerOptions options = {}) {
        options.timeout = 2s;
        return std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", location}}, options,
            [this](const std::string& key) { return key == "bp" ? std::optional(city_.target()) : std::nullopt; },
            [this] { return now_.load(); });
    }
    // Whether T2's departure is a prediction now.
    bool live() const { return std::ranges::count(city_.nearby(now_.load()), "T2@A*") == 1; }
    // Writes the file with a later modification time, so that a poll sees it changed.
    void write(const std::string& bytes) {
        const auto file = dir_.write("feed.pb", bytes);
        fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::seconds(++writes_));
    }
    std::string file() const { return (dir_.path() / "feed.pb").string(); }

    TempDir dir_;
    LiveCity city_;
    std::atomic<query::TimePoint> now_{kNow};
    int writes_ = 0;
};

}  // namespace

TEST_F(SourceTest, FileSourceKeepsLastGoodDataUntilItsMaximumAge) {
    write(delayed());
    auto p = poller(file());
    p->pollAll();
    EXPECT_TRUE(live());
    auto s = p->status().front();
    EXPECT_EQ(std::tuple(s.lastSuccess, s.dataTime, s.build.matchedTrips, s.lastError),
              std::tuple(unix(kNow), unix(kNow), 1u, std::string()));
    p->pollAll();  // unchanged file
    EXPECT_EQ(p->status().front().notModified, 1u);
    // Garbage and a truncated message: counted, the last good data stays.
    for (const std::string& bad : {std::string("\xff\xff\xff\xff garbage", 13), delayed().substr(0, 20)}) {
        write(bad);
        now_ = now_.load() + 60s;
        p->pollAll();
        EXPECT_TRUE(live());
    }
    s = p->status().front();
    EXPECT_EQ(std::tuple(s.failures, s.lastSuccess, s.lastError.empty()), std::tuple(2u, unix(kNow), false));
    // A vanished file too; past the maximum age the timetable is back.
    fs::remove(file());
    now_ = kNow + 301s;
    p->pollAll();
    EXPECT_FALSE(live());
    EXPECT_EQ(p->status().front().failures, 3u);
}

TEST_F(SourceTest, FutureStampIsAgedFromReceipt) {
    write(delayed(3600s));
    auto p = poller(file());
    p->pollAll();
    EXPECT_TRUE(live());
    EXPECT_EQ(std::tuple(p->status().front().futureStamps, p->status().front().dataTime), std::tuple(1u, unix(kNow)));
    now_ = kNow + 301s;
    p->republish();
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, HttpSourceWithNotModifiedNotFoundAndNoAnswer) {
    httplib::Server server;
    std::atomic<int> status{200};
    const std::string stamp = "Fri, 14 Mar 2025 07:00:00 GMT";
    server.Get("/rt.pb", [&](const httplib::Request& req, httplib::Response& res) {
        res.status = status == 200 && req.get_header_value("If-Modified-Since") == stamp ? 304 : status.load();
        if (res.status == 200) {
            res.set_header("Last-Modified", stamp);
            res.set_content(delayed(), "application/x-protobuf");
        }
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread t([&] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::sleep_for(5ms);
    }
    auto p = poller("http://127.0.0.1:" + std::to_string(port) + "/rt.pb");
    p->pollAll();
    p->pollAll();
    EXPECT_EQ(p->status().front().notModified, 1u) << p->status().front().lastError;
    EXPECT_TRUE(live());
    status = 404;
    now_ = kNow + 100s;
    p->pollAll();
    auto s = p->status().front();
    EXPECT_EQ(std::tuple(s.lastError, s.failures, s.lastSuccess), std::tuple("HTTP 404", 1u, unix(kNow)));
    EXPECT_TRUE(live());  // the last good data still counts
    server.stop();
    t.join();
    now_ = kNow + 400s;
    p->pollAll();
    s = p->status().front();
    EXPECT_EQ(s.failures, 2u);
    EXPECT_NE(s.lastError.find("request failed"), std::string::npos) << s.lastError;
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, BackgroundPollingRetriesUntilTheSourceIsGood) {
    write("not a feed");
    realtime::PollerOptions quick;
    quick.interval = quick.firstRetry = 1s;
    auto p = poller(file(), quick);
    p->start();
    for (int i = 0; i < 100 && p->status().front().failures == 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(p->status().front().failures, 1u);
    write(delayed());
    for (int i = 0; i < 300 && !live(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(live());
    p->stop();
}
