// Live data: the overlay laid over the timetable, and the sources polled for it.
#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <random>
#include <set>
#include <sstream>
#include <thread>

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;
using Times = std::vector<std::int64_t>;

TEST(Overlay, DelaysCarryForwardAbsoluteTimesAndArrivalsShiftDepartures) {
    LiveCity c;
    c.apply({message(kNow, tripUpdate("T2", delay(2, 120)))});  // B late; A before it keeps the timetable
    EXPECT_EQ(c.stopTimes("T2"), (Times{300, 900 + 120, 1500 + 120}));
    // The next message replaces it. T3 by stop ids (no stop_sequence) and absolute times; at B an
    // arrival only, which shifts the departure alike.
    c.apply({message(kNow, tripUpdate("T2", delay(1, 60) + delay(3, -30)) +
                               tripUpdate("T3", "stop_time_update { stop_id: 'A' departure { time: " + inMinutes(11) +
                                                    " } } stop_time_update { stop_id: 'B' arrival { time: " +
                                                    inMinutes(23) + " } }"))});
    EXPECT_EQ(c.stopTimes("T2"), (Times{360, 960, 1470}));
    EXPECT_EQ(c.stopTimes("T3"), (Times{660, 1380, 1800 + 180}));
    EXPECT_TRUE(query::tripDetails(c.snapshot, "bp", "T2", "", kNow).stops[1].gps);
    const auto r = query::nearby(c.snapshot, around(3000), kNow).stopDates;
    ASSERT_EQ(ids(r), (Ids{"T2@A*", "T5@B", "T3@A*"}));  // another trip keeps its timetable
    EXPECT_EQ(std::tuple(r[0].tripDepartureTimestamp, r[0].tripDepartureSeconds, r[0].tripDepartureMinutesText),
              std::tuple(unix(kNow) + 360, 8 * 3600 + 360, "6"));
}

TEST(Overlay, CancellationsSkippedStopsAndPredictionsDecideWhatIsListed) {
    LiveCity c;
    // With updates that match nothing: an unknown trip, unknown stops, a shift of 30 hours.
    const auto stats = c.apply(
        {message(kNow, tripUpdate("T2", "", "schedule_relationship: CANCELED") +
                           tripUpdate("T3", "stop_time_update { stop_sequence: 1 schedule_relationship: SKIPPED }") +
                           tripUpdate("nope", delay(1, 60)) + tripUpdate("T1", delay(99, 60) + delay(2, 30 * 3600)) +
                           tripUpdate("T5", "stop_time_update { stop_id: 'Z' departure { delay: 600 } }"))});
    EXPECT_EQ(std::tuple(stats.tripUpdates, stats.matchedTrips, stats.unknownTrips, stats.unknownStops,
                         stats.implausible, stats.canceledTrips, stats.skippedStops),
              std::tuple(5u, 4u, 1u, 2u, 1u, 1u, 1u));
    // A cancelled run and a skipped stop stay listed at their timetable times, marked.
    const auto r = query::nearby(c.snapshot, around(), kNow).stopDates;
    ASSERT_EQ(ids(r), (Ids{"T2@A!", "T3@A!"}));
    EXPECT_EQ(std::tuple(r[0].tripDepartureTimestamp, r[0].warningText),
              std::tuple(unix(kNow) + 300, Ids{"A járat elmarad"}));
    // The 9 shows where it is served (B), not where it is only cancelled.
    EXPECT_EQ(c.nearby(kNow, 3000), (Ids{"T1@B", "T5@B", "T2@B!", "T3@B"}));
    std::vector<bool> cancelled;
    for (const auto* trip : {"T2", "T3"})
        for (const auto& s : query::tripDetails(c.snapshot, "bp", trip, "", kNow).stops)
            cancelled.push_back(s.cancelled);
    EXPECT_EQ(cancelled, (std::vector<bool>{true, true, true, true, false, false}));
    // Predictions move trips into the window (T1 07:50 → 08:12, T2 08:05 → 08:11) and out of it.
    c.apply({message(kNow, tripUpdate("T1", delay(1, 22 * 60)) + tripUpdate("T2", delay(1, 6 * 60)))});
    EXPECT_EQ(c.nearby(), (Ids{"T3@A", "T2@A*", "T1@A*"}));
    c.apply({message(kNow, tripUpdate("T2", delay(1, 10 * 60)))});
    EXPECT_EQ(c.nearby(kNow, 500, 8), Ids{});
}

// The cap counts cancelled departures, but a line's next served departure always shows.
TEST(Overlay, PerLineCapKeepsTheNextServedDeparture) {
    auto b = liveNetwork();
    b.trip("T4", "R9", {{"A", "08:20:00"}, {"B", "08:30:00"}});
    LiveCity c(b);
    const std::vector<std::tuple<int, Ids, Ids>> cases{
        {1, {"T2"}, {"T2@A!", "T3@A"}},
        {1, {"T3"}, {"T2@A"}},
        {2, {"T2", "T3"}, {"T2@A!", "T3@A!", "T4@A"}},
        {1, {"T2", "T3", "T4"}, {"T2@A!"}},
        {3, {}, {"T2@A", "T3@A", "T4@A"}},
    };
    for (const auto& [cap, cancelled, expected] : cases) {
        std::string updates;
        for (const auto& trip : cancelled)
            updates += tripUpdate(trip, "", "schedule_relationship: CANCELED");
        c.apply({message(kNow, updates)});
        EXPECT_EQ(ids(query::nearby(c.snapshot, around(), kNow, {cap}).stopDates), expected) << cap << cancelled.size();
    }
}

// An ADDED trip of a known route runs at the times of its update; its vehicle and details are found.
TEST(Overlay, AddedTripsAppearAtTheirPredictedTimes) {
    LiveCity c;
    const auto added = [&](const std::string& id, const std::string& route) {
        return "entity { trip_update { trip { trip_id: '" + id + "' route_id: '" + route +
               "' direction_id: 1 schedule_relationship: ADDED } stop_time_update { stop_id: 'A' departure { time: " +
               inMinutes(4) + " } } stop_time_update { stop_id: 'Z' departure { time: " + inMinutes(9) +
               " } } stop_time_update { stop_id: 'C' arrival { time: " + inMinutes(14) + " } } } } ";
    };
    const auto stats = c.apply({message(kNow, added("X1", "R5") + added("X2", "R77") + vehicle("X1", 47.5, 5))});
    EXPECT_EQ(std::tuple(stats.addedTrips, stats.unknownTrips, stats.unknownStops, stats.vehicles),
              std::tuple(1u, 1u, 1u, 1u));
    const auto r = query::nearby(c.snapshot, around(), kNow).stopDates;
    ASSERT_EQ(ids(r), (Ids{"X1@A*", "T2@A", "T3@A"}));
    EXPECT_EQ(std::tuple(r[0].routeName, r[0].routeType, r[0].routeUniqueId, r[0].tripHeadsign, r[0].tripUniqueId,
                         r[0].tripDepartureSeconds, r[0].tripDepartureMinutesText),
              std::tuple("5", "TRAM", "R5|1", "Gamma", "X1@20250314", 8 * 3600 + 240L, "4"));
    EXPECT_EQ(c.stopTimes("X1"), (Times{240, 840}));
    EXPECT_EQ(query::vehicle(c.snapshot, "bp", "X1", kNow).error, "");
    EXPECT_EQ(query::tripDetails(c.snapshot, "bp", "X2", "", kNow).error, query::kNoTrip);
}

// A run of a frequency-based line is named by trip_id, start_time and start_date.
TEST(Overlay, FrequencyRunsTakeTheirOwnDelays) {
    FeedBuilder b;
    b.stop("A", "Alfa", kLat, kLon).stop("B", "Béta", kLat + 0.01, kLon).route("R5", "5", 0);
    b.trip("F", "R5", {{"A", "06:00:00"}, {"B", "06:10:00"}}).add("frequencies.txt", "F,07:00:00,09:00:00,600\n");
    LiveCity c(b);
    const std::vector<std::pair<std::string, Ids>> cases{
        {"start_time: '08:10:00' start_date: '20250314'", {"F@A", "F@A*", "F@A"}},
        {"start_time: '08:13:00' start_date: '20250314'", {"F@A", "F@A*", "F@A"}},  // the nearest run
        {"start_time: '08:10:00' start_date: '20250313'", {"F@A", "F@A", "F@A"}},
        {"start_time: '08:10:00'", {"F@A", "F@A", "F@A"}},
    };
    for (const auto& [descriptor, expected] : cases) {
        c.apply({message(kNow, tripUpdate("F", delay(1, 120), descriptor))});
        const auto r = query::nearby(c.snapshot, around(), kNow).stopDates;
        EXPECT_EQ(ids(r), expected) << descriptor;
        if (r.size() == 3 && r[1].tripDepartureGPS) {
            EXPECT_EQ(r[1].tripDepartureTimestamp, unix(kNow) + 720);
        }
    }
}

TEST(Overlay, ServiceDateSelectsTheRun) {
    LiveCity c;
    for (const auto& [date, listed] : {std::pair{"20250313", "T2@A"}, {"20250314", "T2@A*"}}) {
        c.apply({message(kNow, tripUpdate("T2", delay(1, 120), "start_date: '" + std::string(date) + "'"))});
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

// Each informed entity, and the departures around (9 at A, tram 5 both ways at B and C) it reaches.
TEST(Overlay, AlertsReachWhatTheirEntitiesNameInTheirPeriods) {
    auto b = liveNetwork();
    b.files["agency.txt"] =
        "agency_id,agency_name,agency_url,agency_timezone\nBKV,BKV,https://b.example,Europe/Budapest\n";
    b.trip("T6", "R5", {{"C", "08:07:00"}, {"B", "08:17:00"}}, 1).stop("D", "Delta", kLat + 0.1, kLon);
    LiveCity c(b);
    const auto entity = [](const std::string& e) { return "informed_entity { " + e + " } "; };
    const std::string past = "active_period { end: " + std::to_string(unix(kNow) - 1) + " } ";
    const std::string now = "active_period { start: " + std::to_string(unix(kNow) - 60) +
                            " end: " + std::to_string(unix(kNow) + 60) + " } ";
    const std::set<std::string> all{"T2@A", "T3@A", "T5@B", "T6@C"};
    const std::vector<std::pair<std::string, std::set<std::string>>> cases{
        {entity("agency_id: 'BKV'"), all},
        {entity("agency_id: 'MAV'"), {}},
        {entity("route_id: 'R9'"), {"T2@A", "T3@A"}},
        {entity("route_type: 0"), {"T5@B", "T6@C"}},
        {entity("route_id: 'R5' direction_id: 1"), {"T6@C"}},
        {entity("trip { route_id: 'R5' direction_id: 0 }"), {"T5@B"}},
        {entity("trip { trip_id: 'T3' }"), {"T3@A"}},
        {entity("stop_id: 'B'"), {"T5@B"}},
        {entity("stop_id: 'CS'"), {"T6@C"}},  // the station reaches its stops
        {entity("route_id: 'R5' stop_id: 'C'"), {"T6@C"}},
        {entity("stop_id: 'D'"), {}},  // no departure there in the window
        {entity("trip { trip_id: 'T3' }") + entity("stop_id: 'B'"), {"T3@A", "T5@B"}},
        {entity("route_id: 'R9'") + past, {}},
        {entity("route_id: 'R9'") + past + now, {"T2@A", "T3@A"}},
        {entity("direction_id: 1"), {}},  // names nothing on its own
    };
    for (const auto& [alert, expected] : cases) {
        c.apply({message(kNow, "entity { alert { header_text { translation { text: 'x' } } " + alert + " } }")});
        std::set<std::string> reached;
        for (const auto& d : query::nearby(c.snapshot, around(3000), kNow).stopDates)
            if (d.warningText == Ids{"x"})
                reached.insert(std::string(d.tripId) + "@" + std::string(d.stopUniqueId));
        EXPECT_EQ(reached, expected) << alert;
    }
    // Hungarian first, then the untranslated text, then the first one.
    const std::vector<std::pair<std::string, std::string>> texts{
        {"translation { text: 'Closed' language: 'en' } translation { text: 'Lezárva' language: 'hu' }", "Lezárva"},
        {"translation { text: 'Closed' language: 'en' } translation { text: 'Zárva' }", "Zárva"},
        {"translation { text: 'Closed' language: 'en' } translation { text: 'Gesperrt' language: 'de' }", "Closed"},
    };
    for (const auto& [translations, expected] : texts) {
        c.apply({message(kNow, "entity { alert { header_text { " + translations + " } " +
                                   entity("trip { trip_id: 'T3' }") + " } }")});
        EXPECT_EQ(query::tripDetails(c.snapshot, "bp", "T3", "", kNow).warningText, Ids{expected}) << translations;
    }
}

// Seeded mutants through the parser and the builder: nothing crashes or throws, answers stay well-formed.
TEST(Overlay, FuzzedMessagesNeverBreakAnswers) {
    LiveCity c;
    const std::string seed =
        message(kNow, tripUpdate("T2", delay(1, 120) + "stop_time_update { stop_sequence: 2 schedule_relationship: "
                                                       "SKIPPED }") +
                          tripUpdate("T3", "", "start_date: '20250314' schedule_relationship: CANCELED") +
                          vehicle("T1", 47.5, 10) +
                          "entity { alert { active_period { start: 1 } informed_entity { route_id: 'R9' } "
                          "header_text { translation { text: 'x' } } } }")
            .SerializeAsString();
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

using realtime::FetchOutcome;

class SourceTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string>& locations, realtime::PollerOptions options = {}) {
        std::vector<realtime::SourceConfig> sources;
        for (const auto& location : locations)
            sources.push_back({"bp", location});
        poller_ = std::make_unique<realtime::Poller>(
            sources, options,
            [this](const std::string& key) { return key == "bp" ? std::optional(city_.target()) : std::nullopt; },
            [this] { return now_.load(); });
    }
    // Polls every source once at `now`; the first source's status after.
    realtime::SourceStatus poll(query::TimePoint now) {
        now_ = now;
        poller_->pollAll();
        return poller_->status().front();
    }
    // Whether T2's departure is a prediction now.
    bool live() const { return std::ranges::count(city_.nearby(now_.load()), "T2@A*") == 1; }
    // Writes the feed file with a later modification time, so that a poll sees it changed.
    void write(const std::string& bytes) {
        const auto later = fs::file_time_type::clock::now() + std::chrono::seconds(++writes_);
        fs::last_write_time(dir_.write("feed.pb", bytes), later);
    }
    std::string file() const { return (dir_.path() / "feed.pb").string(); }

    TempDir dir_;
    LiveCity city_;
    std::atomic<query::TimePoint> now_{kNow};
    int writes_ = 0;
    std::unique_ptr<realtime::Poller> poller_;
};

}  // namespace

// The file's message is stamped an hour ahead of the clock: its data is aged from receipt.
TEST_F(SourceTest, FileSourceKeepsLastGoodDataUntilItsMaximumAgeAndRefusesIncrements) {
    write(delayedT2(kNow + 3600s).SerializeAsString());
    start({file()});
    auto s = poll(kNow);
    EXPECT_TRUE(live());
    EXPECT_EQ(std::tuple(s.lastSuccess, s.dataTime, s.futureStamps, s.build.matchedTrips),
              std::tuple(unix(kNow), unix(kNow), 1u, 1u));
    EXPECT_EQ(poll(kNow).notModified, 1u);  // the file is unchanged
    // Garbage, a truncated message and an increment (laid over alone it would drop every trip it
    // does not name, here all): refused and counted, the last good data stays.
    auto increment = message(kNow);
    increment.mutable_header()->set_incrementality(pb::FeedHeader::DIFFERENTIAL);
    int minute = 0;
    for (const auto& bad : {std::string("\xff\xff\xff\xff garbage"), delayedT2().SerializeAsString().substr(0, 20),
                            increment.SerializeAsString()}) {
        write(bad);
        s = poll(kNow + ++minute * 60s);
    }
    EXPECT_TRUE(live());
    EXPECT_EQ(std::tuple(s.failures, s.differential, s.lastSuccess, s.lastError.empty()),
              std::tuple(3u, 1u, unix(kNow), false));
    // A vanished file too; past the maximum age the timetable is back.
    fs::remove(file());
    EXPECT_EQ(poll(kNow + 301s).failures, 4u);
    EXPECT_FALSE(live());
}

// Through a redirect to an absolute path the credentials, the query and the validator go along.
TEST_F(SourceTest, HttpSourceWithRedirectNotModifiedNotFoundAndNoAnswer) {
    LoopbackHttps https;
    const ScopedEnv trust("SSL_CERT_FILE", https.certificateFile().string());
    const std::string stamp = "Fri, 14 Mar 2025 07:00:00 GMT";
    for (const auto& [body, status] : {std::pair{delayedT2().SerializeAsString(), 200}, {"", 304}, {"", 404}}) {
        https.answer("", 302, {{"Location", "/rt.pb?key=K"}});
        https.answer(body, status, {{"Last-Modified", stamp}});
    }
    std::string url = https.url("/moved");
    start({url.insert(url.find("//") + 2, "reader:s%40cret@")});
    poll(kNow);
    EXPECT_EQ(poll(kNow).notModified, 1u);
    EXPECT_TRUE(live());
    auto s = poll(kNow + 100s);
    EXPECT_EQ(std::tuple(s.lastError, s.failures, s.lastSuccess), std::tuple("HTTP 404", 1u, unix(kNow)));
    const auto seen = https.seen();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(
        std::tuple(seen[0].header("Authorization"), seen[1].path, seen[3].path, seen[3].header("If-Modified-Since")),
        std::tuple("Basic cmVhZGVyOnNAY3JldA==", "/rt.pb?key=K", "/rt.pb?key=K", stamp));
    https.stop();
    s = poll(kNow + 400s);
    EXPECT_EQ(std::tuple(s.failures, s.lastError.find("request failed") != std::string::npos, live()),
              std::tuple(2u, true, false))
        << s.lastError;
}

// The URL answers its first byte and then nothing. The file beside it, bad at first, is retried
// until it is good and then polled at its interval; stop() does not wait for the hang.
TEST_F(SourceTest, RetriesUntilGoodAndAHangingSourceHoldsUpNeitherTheOthersNorStop) {
    LoopbackHttps hanging;
    const ScopedEnv trust("SSL_CERT_FILE", hanging.certificateFile().string());
    hanging.answer(StreamedReply{SIZE_MAX, false, 1, 1h});
    write("not a feed");
    realtime::PollerOptions options;
    options.interval = options.firstRetry = 1s;
    options.timeout = 20s;
    start({hanging.url("/rt.pb"), file()}, options);
    poller_->start();
    const auto waitFor = [](const auto& done) {
        for (int i = 0; i < 500 && !done(); ++i)
            std::this_thread::sleep_for(20ms);
    };
    waitFor([this] { return poller_->status()[1].failures > 0; });
    write(delayedT2().SerializeAsString());
    waitFor([this] { return poller_->status()[1].notModified >= 2; });
    const auto s = poller_->status();
    EXPECT_EQ(std::tuple(s[0].polls, s[1].failures, s[1].notModified), std::tuple(0u, 1u, 2u));
    EXPECT_TRUE(live());
    auto stopped = std::async(std::launch::async, [this] { poller_->stop(); });
    EXPECT_EQ(stopped.wait_for(1s), std::future_status::ready);
}

// A body past the cap (announced or chunked) is cut off near the cap; a trickle (a byte every 50 ms
// for 5 s) is cut off at the deadline of the whole transfer.
TEST(Fetch, ABodyPastTheCapAndATrickleAreCutShort) {
    LoopbackHttps server;
    const ScopedEnv trust("SSL_CERT_FILE", server.certificateFile().string());
    for (const bool announced : {true, false}) {
        const std::size_t before = server.streamedBytes();
        server.answer(StreamedReply{160u << 20, announced});
        const auto f = realtime::fetch(server.url("/big.pb"), "", 30s);
        EXPECT_EQ(std::tuple(f.outcome, f.error), std::tuple(FetchOutcome::Failed, "reply too large")) << announced;
        EXPECT_LT(server.streamedBytes() - before, 80u << 20) << announced;
    }
    const std::size_t before = server.streamedBytes();
    server.answer(StreamedReply{100, false, 1, 50ms});
    const auto f = realtime::fetch(server.url("/slow.pb"), "", 1s);
    EXPECT_EQ(f.outcome, FetchOutcome::Failed);
    EXPECT_LT(server.streamedBytes() - before, 50u) << f.error;
}

// A source's status and log lines leave out user info, query and fragment; a file path is shown
// as it is, escaped onto its line.
TEST_F(SourceTest, ShownLocationsLeaveOutCredentialsAndLogLinesStayOneLine) {
    LoopbackHttps https;
    std::string secret = https.url("/rt.pb?key=SECRET#top");
    secret.insert(secret.find("//") + 2, "reader:s%40cret@");
    const std::string badFile = (dir_.path() / "no\nsuch.pb").string();
    start({secret, badFile, "http://[::1]:1/a/b?token=SECRET", "http://localhost:1?apikey=SECRET"});

    std::ostringstream log;
    const auto previous = spdlog::default_logger();
    auto logger = std::make_shared<spdlog::logger>("test", std::make_shared<spdlog::sinks::ostream_sink_mt>(log));
    logger->set_pattern("%v");
    spdlog::set_default_logger(logger);
    poller_->pollAll();  // no trust in the loopback certificate yet: refused
    spdlog::set_default_logger(previous);

    const auto s = poller_->status();
    EXPECT_EQ(std::tuple(s[0].location, s[1].location, s[2].location, s[3].location),
              std::tuple(https.url("/rt.pb"), badFile, "http://[::1]:1/a/b", "http://localhost:1"));
    EXPECT_NE(s[0].lastError.find("certificate"), std::string::npos) << s[0].lastError;
    for (const auto& text : {s[0].lastError, s[1].lastError, s[2].lastError, s[3].lastError, log.str()})
        for (const auto* hidden : {"SECRET", "cret"})
            EXPECT_EQ(text.find(hidden), std::string::npos) << text;
    EXPECT_NE(log.str().find("no\\nsuch.pb"), std::string::npos) << log.str();
    EXPECT_EQ(std::ranges::count(log.str(), '\n'), 4) << log.str();  // one line per failed source
}
