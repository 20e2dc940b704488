#include "server/app/CityRegistry.h"

#include "tests/support/Feeds.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <thread>

using namespace velmo;
using namespace std::chrono_literals;

namespace {

class RegistryTest : public ::testing::Test {
protected:
    // Writes the city's feed with its one trip leaving at `departure`; the feed's time moves on.
    void writeFeed(const std::string& departure) {
        test::smallCity(departure, "23:00:00").writeTo(feed_);
        touch();
    }
    void touch() {
        std::filesystem::last_write_time(feed_, std::filesystem::file_time_type::clock::now() + (++writes_) * 1s);
    }
    // The departure time of the trip as the registry serves it now, "" when none is loaded.
    std::string served() const {
        const auto snapshot = registry_.snapshot();
        if (!snapshot) {
            return "";
        }
        const auto& feed = *snapshot->cities.front()->feed;
        const int s = feed.stopTimesOf(feed.tripById.at("T1")).front().departure.count();
        return std::to_string(s / 3600) + ":" + std::to_string(s / 60 % 60);
    }

    test::TempDir dir_;
    std::filesystem::path feed_ = dir_.path() / "feed";
    int writes_ = 0;
    tarvod::CityRegistry registry_{{{{"bp", "", "", ""}, feed_.string(), {}}}};
};

}  // namespace

TEST_F(RegistryTest, ReloadsAChangedFeedAndKeepsServingWhenTheNewOneIsBroken) {
    writeFeed("08:00:00");
    registry_.loadAll();
    const auto first = registry_.snapshot();
    registry_.reload(false);  // nothing changed
    EXPECT_EQ(registry_.snapshot(), first);
    writeFeed("09:30:00");
    registry_.reload(false);
    EXPECT_EQ(served(), "9:30");
    EXPECT_EQ(first->cities.front()->feed->stopTimesOf(gtfs::TripIdx(0u)).front().departure.count(), 8 * 3600);
    // A broken new feed: the old one keeps serving, and is not read again until it changes.
    std::filesystem::remove(feed_ / "trips.txt");
    touch();
    registry_.reload(false);
    EXPECT_EQ(served(), "9:30");
    EXPECT_EQ(registry_.target("bp")->feed, registry_.snapshot()->cities.front()->feed);
    EXPECT_FALSE(registry_.target("mv"));
    writeFeed("10:15:00");
    registry_.reload(true);
    EXPECT_EQ(served(), "10:15");
}

TEST_F(RegistryTest, TheWatcherReloadsAChangedFeed) {
    writeFeed("08:00:00");
    registry_.loadAll();
    registry_.startWatching(1s);
    writeFeed("09:00:00");
    for (int i = 0; i < 300 && served() != "9:0"; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(served(), "9:0");
    registry_.stopWatching();
}
