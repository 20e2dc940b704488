#include "server/query/Geo.h"

#include "tests/support/Feeds.h"

#include <gtest/gtest.h>

#include <random>
#include <set>

using namespace velmo;
using velmo::query::distanceMetres;

TEST(Geo, GreatCircleMetres) {
    EXPECT_NEAR(distanceMetres(47.5, 19.05, 47.501, 19.05), 111.2, 0.2);
    EXPECT_NEAR(distanceMetres(0, 0, 0, 180), 20015114, 10);
    EXPECT_EQ(distanceMetres(47.5, 19.05, 47.5, 19.05), 0);
}

// The grid must find exactly what a search of every stop finds, also for stops and positions
// on the edges of its 500 m cells and for a radius that just reaches a stop.
TEST(Geo, GridFindsWhatABruteForceSearchFinds) {
    constexpr double kCellLat = 500.0 / 111195.0;  // one cell in degrees of latitude
    test::FeedBuilder b;
    b.route("R", "1", 3);
    int n = 0;
    for (int y = -4; y <= 4; ++y) {
        for (int x = -4; x <= 4; ++x) {
            // Stops on the cell edges and a hair on either side of them.
            for (const double nudge : {0.0, 1e-6, -1e-6}) {
                b.stop("S" + std::to_string(n++), "S", 47.5 + y * kCellLat / 2 + nudge, 19.05 + x * 0.0033 + nudge);
            }
        }
    }
    b.trip("T", "R", {{"S0", "08:00:00"}, {"S1", "08:01:00"}});
    const auto feed = b.load();
    const query::GridIndex index(*feed);
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
            if (distanceMetres(lat, lon, feed->stops[i].lat, feed->stops[i].lon) <= radius) {
                want.insert(i);
            }
        }
        std::set<std::uint32_t> got;
        index.forEachWithin(*feed, lat, lon, radius, [&](gtfs::StopIdx s, double) { got.insert(s.get()); });
        ASSERT_EQ(got, want) << "at " << lat << "," << lon << " within " << radius << " m";
    }
}
