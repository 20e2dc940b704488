// The generated city's live state fits the generated timetable of the same options.
#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"
#include "tools/gtfs-synth/FeedSink.h"
#include "tools/gtfs-synth/Realtime.h"

#include <date/tz.h>
#include <gtest/gtest.h>

#include <filesystem>

using namespace velmo;
using namespace std::chrono_literals;

TEST(SynthRealtime, MatchesTheStaticFeedOfTheSameOptions) {
    char tmpl[] = "/tmp/velmo-synth-rt-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::filesystem::path dir = tmpl;
    synth::Options options;
    options.stops = 60;
    options.startDate = std::chrono::year{2025} / 3 / 1;
    options.days = 30;
    synth::DirectorySink sink(dir);
    synth::generateFeed(options, sink);
    const auto feed = gtfs::loadFeed(*gtfs::openDirectory(dir.string()));
    std::filesystem::remove_all(dir);

    // Friday 14 March 2025 (a holiday: the weekend timetable), 08:00 in Budapest.
    const auto at = date::floor<std::chrono::seconds>(
        date::make_zoned("Europe/Budapest", date::local_days(date::year(2025) / 3 / 14) + 8h).get_sys_time());
    synth::RealtimeSummary summary;
    const std::string bytes = synth::generateRealtime(options, at, &summary);
    EXPECT_EQ(bytes, synth::generateRealtime(options, at));  // repeatable
    EXPECT_GT(summary.tripUpdates, 10);
    EXPECT_GT(summary.delayed, 0);
    EXPECT_EQ(summary.cancelled, 1);
    EXPECT_GT(summary.vehicles, 0);
    EXPECT_EQ(summary.alerts, 1);

    auto parsed = realtime::parseMessage(bytes);
    ASSERT_TRUE(std::holds_alternative<std::shared_ptr<const realtime::pb::FeedMessage>>(parsed));
    const realtime::Input input{std::get<0>(parsed), at};
    realtime::BuildStats stats;
    const auto overlay =
        realtime::buildOverlay(feed, date::locate_zone(feed->timezone()), std::span(&input, 1), at, 300s, &stats);
    EXPECT_EQ(stats.matchedTrips, static_cast<std::uint64_t>(summary.tripUpdates));
    EXPECT_EQ(stats.unknownTrips, 0u);
    EXPECT_EQ(stats.unknownStops, 0u);
    EXPECT_EQ(stats.vehicles, static_cast<std::uint64_t>(summary.vehicles));
    ASSERT_EQ(overlay->alerts.size(), 1u);
    EXPECT_NE(overlay->alerts.front().text.find("terelt"), std::string::npos);  // the Hungarian text
    const auto cancelled =
        std::count_if(overlay->runs.begin(), overlay->runs.end(), [](const auto& r) { return r.second.canceled; });
    EXPECT_EQ(cancelled, 1);
    // Every update is for a run the timetable has on its service day.
    for (const auto& [key, run] : overlay->runs) {
        const gtfs::TripIdx trip(static_cast<std::uint32_t>(key >> 32));
        const date::sys_days day{date::days(static_cast<std::int32_t>(key & 0xffffffffu))};
        EXPECT_TRUE(feed->calendar.active(feed->trip(trip).service, day)) << feed->trip(trip).id;
    }
}
