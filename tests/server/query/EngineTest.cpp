#include "server/query/Engine.h"

#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <sstream>

using namespace velmo;
using namespace velmo::query;
using namespace velmo::test;
using namespace date::literals;

namespace {

// Alfa A1 at the position and A2 75 m east (one group without a station); Béta 222 m north; station Gamma with
// platforms G1, G2 445 m north; another Alfa 334 m north (too far to join the first); Zéta 11 km away. Buses 9, 7 and
// N1, tram 10. Each run "id route stop time [direction]" is a trip that boards at that stop only and ends at Zéta.
FeedBuilder network(std::initializer_list<std::string> runs = {}) {
    FeedBuilder b;
    b.stop("A1", "Alfa", kLat, kLon)
        .stop("A2", "Alfa", kLat, kLon + 0.001)
        .stop("B", "Béta", kLat + 0.002, kLon)
        .stop("GS", "Gamma", kLat + 0.004, kLon, "", 1)
        .stop("G1", "Gamma", kLat + 0.004, kLon, "GS")
        .stop("G2", "Gamma", kLat + 0.0041, kLon, "GS")
        .stop("AF", "Alfa", kLat + 0.003, kLon)
        .stop("Z", "Zéta", kLat + 0.1, kLon);
    b.route("R9", "9", 3).route("R10", "10", 0).route("R7", "7", 3).route("RN", "N1", 3);
    for (const auto& run : runs) {
        std::istringstream in(run);
        std::string id, route, stop, time;
        int direction = 0;
        in >> id >> route >> stop >> time >> direction;
        b.trip(id, route, {{stop, time}, {"Z", time}}, direction);
    }
    return b;
}

Snapshot snapshotOf(const FeedBuilder& b, const std::string& night = "") {
    Snapshot s;
    s.cities.push_back(City::build({"bp", "", "", night}, b.load()));
    return s;
}

Ids listed(const FeedBuilder& b, const NearbyParams& p = around()) {
    return ids(nearby(snapshotOf(b), p, kNow).stopDates);
}

// An item's members in one line: stop, favourite id, metres, nearest, favourite | line, its
// favourite id, unique id, type, favourite | headsign | run, seconds, minutes text, live, warnings.
std::string row(const Departure& d) {
    std::ostringstream o;
    o << d.stopUniqueId << " " << d.stopFavoriteId << " " << d.stopDistance << " " << d.stopNearest << " "
      << d.stopFavorite << " | " << d.routeName << " " << d.routeFavoriteId << " " << d.routeUniqueId << " "
      << d.routeType << " " << d.routeFavorite << " | " << d.tripHeadsign << " | " << d.tripUniqueId << " "
      << d.tripDepartureSeconds << " " << d.tripDepartureMinutesText << " " << d.tripDepartureGPS << " "
      << d.warningText.size();
    return o.str();
}

}  // namespace

TEST(Engine, DepartureItemCarriesEveryMember) {
    auto b = network({"T3 R7 A1 08:00:20"});
    b.trip("T1", "R9", {{"B", "08:05:00", "Belváros"}, {"Z", "08:30:00"}}, 1, "Zéta felé");
    b.trip("T2", "R10", {{"G1", "08:10:30"}, {"Z", "08:30:00"}}, 0, "Zéta");
    auto p = around();
    p.favStops = {"GS"};
    p.favRoutes = {"R10"};
    const auto r = nearby(snapshotOf(b), p, kNow);
    EXPECT_EQ(std::tuple(r.error, r.cityKey, r.cityName, r.cityURL),
              std::tuple("", "bp", "Teszt Közlekedés", "https://teszt.example"));
    ASSERT_EQ(r.stopDates.size(), 3u);
    // Headsign: the stop's, else the trip's, else the last stop's name; minutes rounded down.
    EXPECT_EQ(row(r.stopDates[0]), "A1 A1 0 1 0 | 7 R7 R7|0 BUS 0 | Zéta | T3@20250314 28820 !! 0 0");
    EXPECT_EQ(row(r.stopDates[1]), "B B 222 0 0 | 9 R9 R9|1 BUS 0 | Belváros | T1@20250314 29100 5 0 0");
    EXPECT_EQ(row(r.stopDates[2]), "G1 GS 445 0 1 | 10 R10 R10|0 TRAM 1 | Zéta | T2@20250314 29430 10 0 0");
    EXPECT_EQ(std::pair(r.stopDates[1].stopLat, r.stopDates[1].stopLon), std::pair(kLat + 0.002, kLon));
    EXPECT_EQ(r.stopDates[1].tripDepartureTimestamp, unix(kNow + 5min));
}

TEST(Engine, WindowRunsFromThirtySecondsAgoToMinutesAhead) {
    const auto b =
        network({"late31 R9 A1 07:59:29", "late30 R9 A1 07:59:30", "edge R10 A1 08:10:00", "after R10 A1 08:10:01"});
    EXPECT_EQ(listed(b, around(500, 10)), (Ids{"late30@A1", "edge@A1"}));
}

TEST(Engine, ServiceDayZeroIsNoonMinusTwelveHoursOnDaylightSavingDays) {
    const auto snap = snapshotOf(network({"T R9 A1 08:00:00", "early R9 A1 01:30:00"}));
    // Clocks go forward on 30 March (08:00:00 is 06:00 UTC, and 01:30:00 is 00:30 local, counted
    // from 23:00 CET the day before) and back on 26 October (08:00:00 is 08:00 CET).
    using date::sys_days;
    const std::tuple<TimePoint, std::string, date::sys_seconds> cases[] = {
        {budapest(2025_y / 3 / 30, 8h), "T@A1", sys_days(2025_y / 3 / 30) + 6h},
        {budapest(2025_y / 3 / 30, 30min), "early@A1", sys_days(2025_y / 3 / 29) + 23h + 30min},
        {budapest(2025_y / 10 / 26, 8h), "T@A1", sys_days(2025_y / 10 / 26) + 7h}};
    for (const auto& [now, id, when] : cases) {
        const auto r = nearby(snap, around(), now);
        ASSERT_EQ(ids(r.stopDates), Ids{id});
        EXPECT_EQ(r.stopDates[0].tripDepartureTimestamp, when.time_since_epoch().count()) << id;
    }
}

TEST(Engine, TimesPastMidnightBelongToThePreviousServiceDay) {
    auto b = network();
    b.add("calendar.txt", "THU,0,0,0,1,0,0,0,20250101,20251231\n");
    b.trip("owl", "RN", {{"A1", "24:30:00"}, {"Z", "25:00:00"}}, 0, "", "THU");
    const auto snap = snapshotOf(b, "^N");
    // Thursday 13 March's trip leaves on Friday at 00:30.
    const auto r = nearby(snap, around(), budapest(2025_y / 3 / 14, 25min));
    ASSERT_EQ(r.stopDates.size(), 1u);
    EXPECT_EQ(row(r.stopDates[0]), "A1 A1 0 1 0 | N1 RN RN|0 NIGHTBUS 0 | Zéta | owl@20250313 88200 5 0 0");
    // Friday has no Thursday service before it: nothing on Saturday night.
    EXPECT_EQ(nearby(snap, around(), budapest(2025_y / 3 / 15, 25min)).error, kNoTrips);
}

TEST(Engine, LineShowsAtItsNearestStopGroupOnly) {
    // Line 9 passes Béta, then the Alfa pair (A2 is in A1's group); its other direction is a line
    // of its own. Line 10 calls at both Gamma platforms (one station) and at the far Alfa.
    auto b = network({"9r R9 B 08:05:00 1"});
    b.trip("9a", "R9", {{"B", "08:02:00"}, {"A2", "08:04:00"}, {"Z", "08:30:00"}});
    b.trip("9b", "R9", {{"B", "08:12:00"}, {"A2", "08:14:00"}, {"Z", "08:40:00"}});
    b.trip("10a", "R10", {{"AF", "08:01:00"}, {"G1", "08:03:00"}, {"Z", "08:30:00"}});
    b.trip("10b", "R10", {{"AF", "08:06:00"}, {"G2", "08:08:00"}, {"Z", "08:30:00"}});
    EXPECT_EQ(listed(b), (Ids{"10a@AF", "9a@A2", "9r@B", "10b@AF", "9b@A2"}));
    // Béta as a favourite keeps its own departures.
    auto p = around();
    p.favStops = {"B"};
    EXPECT_EQ(listed(b, p), (Ids{"10a@AF", "9a@B", "9a@A2", "9r@B", "10b@AF", "9b@B", "9b@A2"}));
    // Where only Gamma serves a line, both its platforms show; the far Alfa (334 m) does not join the Alfa pair.
    const auto g = network({"10a R10 G1 08:03:00", "10b R10 G2 08:08:00", "7a R7 AF 08:01:00", "7b R7 A1 08:09:00"});
    EXPECT_EQ(listed(g), (Ids{"10a@G1", "10b@G2", "7b@A1"}));
}

TEST(Engine, AtMostMaxPerLineDeparturesPerGroupAndLine) {
    const auto b = network({"9-0 R9 A1 08:01:00", "9-1 R9 A1 08:02:00", "9-2 R9 A1 08:03:00", "9-3 R9 A1 08:04:00",
                            "10 R10 A1 08:03:00", "t7 R7 A2 08:09:00"});
    // Ties in time: nearer stop first, then natural line-name order.
    EXPECT_EQ(listed(b), (Ids{"9-0@A1", "9-1@A1", "9-2@A1", "10@A1", "t7@A2"}));
    const auto r = nearby(snapshotOf(b), around(), kNow, {2});
    EXPECT_EQ(ids(r.stopDates), (Ids{"9-0@A1", "9-1@A1", "10@A1", "t7@A2"}));
    EXPECT_EQ(ids(r.stopDatesNearby), ids(r.stopDates));
}

TEST(Engine, FavouriteSortModes) {
    const auto b = network({"7a R7 A1 08:01:00", "9a R9 A1 08:02:00", "10a R10 B 08:03:00", "9b R9 A1 08:04:00",
                            "9r R9 A1 08:05:00 1", "10b R10 B 08:06:00"});
    auto p = around();
    p.favRoutes = {"R9", "R10"};
    p.favStops = {"B"};
    const std::pair<std::int64_t, Ids> cases[] = {{3, {"7a@A1", "9a@A1", "10a@B", "9b@A1", "9r@A1", "10b@B"}},
                                                  {1, {"9a@A1", "10a@B", "9b@A1", "9r@A1", "10b@B", "7a@A1"}},
                                                  {2, {"9a@A1", "10a@B", "9r@A1", "7a@A1", "9b@A1", "10b@B"}},
                                                  {4, {"10a@B", "10b@B", "7a@A1", "9a@A1", "9b@A1", "9r@A1"}}};
    for (const auto& [mode, order] : cases) {
        p.favSortMode = mode;
        EXPECT_EQ(listed(b, p), order) << "mode " << mode;
    }
}

TEST(Engine, NearbyListFavouritesWithinTheFetchRadiusAndTheNearestCity) {
    const auto b = network({"9a R9 B 08:02:00", "10a R10 G1 08:01:00", "9b R9 B 08:07:00", "late R7 A1 10:00:00"});
    // Alfa has nothing in the window: the nearby list is Béta's.
    const auto r = nearby(snapshotOf(b), around(), kNow);
    EXPECT_EQ(ids(r.stopDatesNearby), (Ids{"9a@B", "9b@B"}));
    EXPECT_EQ(ids(r.stopDates), (Ids{"10a@G1", "9a@B", "9b@B"}));
    EXPECT_EQ(std::pair(r.stopDates[0].stopNearest, r.stopDates[1].stopNearest), std::pair(false, true));
    // A favourite stop beyond the real radius counts while within the fetch radius.
    auto p = around(300);
    p.favStops = {"GS"};
    EXPECT_EQ(listed(b, p), (Ids{"9a@B", "9b@B"}));
    p.fetchRadius = 500;
    EXPECT_EQ(listed(b, p), (Ids{"10a@G1", "9a@B", "9b@B"}));

    p.lat = kLat - 0.01;  // 1.1 km south of everything
    EXPECT_EQ(nearby(snapshotOf(b), p, kNow).error, kNoStops);
    // Of two cities, the one whose stop is nearer answers.
    FeedBuilder other;
    other.stop("O1", "Omega", kLat - 0.0101, kLon).stop("O2", "Omega vég", kLat - 0.02, kLon);
    other.route("RO", "1", 3).trip("o", "RO", {{"O1", "08:04:00"}, {"O2", "08:10:00"}});
    Snapshot two = snapshotOf(b);
    two.cities.push_back(City::build({"other", "Másik", "https://masik.example", ""}, other.load()));
    const auto o = nearby(two, p, kNow);
    EXPECT_EQ(std::tuple(o.cityKey, o.cityName, ids(o.stopDates)), std::tuple("other", "Másik", Ids{"o@O1"}));
    p.lat = kLat;
    EXPECT_EQ(nearby(two, p, kNow).cityKey, "bp");
}

TEST(Engine, LineNamesSortNaturally) {
    const std::vector<std::string> sorted{"2", "9", "9A", "10", "10A", "47B", "105", "M2", "M10", "N1", "N12"};
    std::vector<std::string> names(sorted.rbegin(), sorted.rend());
    std::ranges::sort(names, naturalLess);
    EXPECT_EQ(names, sorted);
}

// Also on the edges of the 500 m cells, and for a radius that just reaches a stop.
TEST(Geo, GridFindsWhatABruteForceSearchFinds) {
    constexpr double kCellLat = 500.0 / 111195.0;  // one cell in degrees of latitude
    FeedBuilder b;
    b.route("R", "1", 3);
    for (int i = 0; i < 243; ++i) {  // on the cell edges of a 9 × 9 patch, and a hair on either side
        const double nudge = (i % 3 - 1) * 1e-6;
        b.stop("S" + std::to_string(i), "S", 47.5 + (i / 27 - 4) * kCellLat / 2 + nudge,
               19.05 + (i / 3 % 9 - 4) * 0.0033 + nudge);
    }
    b.trip("T", "R", {{"S0", "08:00:00"}, {"S1", "08:01:00"}});
    const auto feed = b.load();
    const GridIndex index(*feed);
    std::mt19937 rng(42);
    std::uniform_int_distribution<std::size_t> anyStop(0, feed->stops.size() - 1);
    std::uniform_real_distribution<double> jitter(-0.01, 0.01);
    for (int round = 0; round < 400; ++round) {
        const auto& near = feed->stops[anyStop(rng)];
        // Half the queries stand on a stop (hence on an edge), half anywhere near.
        const double lat = near.lat + (round % 2 == 0 ? 0 : jitter(rng));
        const double lon = near.lon + (round % 2 == 0 ? 0 : jitter(rng));
        const auto& reach = feed->stops[anyStop(rng)];
        const double radius = round % 3 == 0 ? distanceMetres(lat, lon, reach.lat, reach.lon) : 50.0 * (round % 40);
        std::set<std::uint32_t> want;
        for (std::uint32_t i = 0; i < feed->stops.size(); ++i) {
            if (distanceMetres(lat, lon, feed->stops[i].lat, feed->stops[i].lon) <= radius)
                want.insert(i);
        }
        std::set<std::uint32_t> got;
        index.forEachWithin(*feed, lat, lon, radius, [&](gtfs::StopIdx s, double) { got.insert(s.get()); });
        ASSERT_EQ(got, want) << "at " << lat << "," << lon << " within " << radius << " m";
    }
}
