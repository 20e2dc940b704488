// The city registry: feeds reloaded when changed, cities of several feeds, feeds downloaded by URL.
#include "server/app/CityRegistry.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/TempHome.h"

#include <gmock/gmock.h>
#include <zip.h>

#include <functional>
#include <thread>

using namespace velmo;
using namespace velmo::tarvod;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// Seconds after midnight at which a trip of that city leaves as served now; -1 when not served.
int served(const CityRegistry& registry, const std::string& city = "bp", const std::string& trip = "T1") {
    const auto snapshot = registry.snapshot();  // held: a reload may replace it meanwhile
    for (const auto& c : snapshot->cities) {
        if (c->key == city)
            return static_cast<int>(c->feed->stopTimesOf(c->feed->tripById.at(trip)).front().departure.count());
    }
    return -1;
}

// Gives a feed a modification time `ahead` in the future, so that a reload check sees it changed.
void touch(const fs::path& feed, std::chrono::seconds ahead) {
    fs::last_write_time(feed, fs::file_time_type::clock::now() + ahead);
}

// Waits up to ten seconds for `done`.
bool eventually(const std::function<bool()>& done) {
    for (int i = 0; i < 1000 && !done(); ++i)
        std::this_thread::sleep_for(10ms);
    return done();
}

// Metro and bus of one city, both with a stop DT "Deák tér" (the bus's 44 m off: its own stop,
// in the same group) and a trip T1 to Zugló, whose stop X they share.
test::FeedBuilder cityFeed(bool bus, const std::string& departure) {
    test::FeedBuilder b;
    b.stop("DT", "Deák tér", test::kLat + (bus ? 0.0004 : 0), test::kLon)
        .stop("X", "Zugló", test::kLat + 0.02, test::kLon)
        .route("R", bus ? "9" : "M1", bus ? 3 : 1);
    return b.trip("T1", "R", {{"DT", departure}, {"X", "08:30:00"}});
}

}  // namespace

TEST(Registry, ReloadsAChangedFeedKeepsServingWhenTheNewOneIsBrokenAndWatches) {
    test::TempDir dir;
    const fs::path feed = dir.path() / "feed";
    int writes = 0;
    const auto write = [&](const std::string& departure) {  // the feed's time moves on
        test::smallCity(departure, "23:00:00").writeTo(feed);
        touch(feed, ++writes * 1s);
    };
    CityRegistry registry({CityEntry{{"bp", "", "", ""}, {{feed.string(), "", ""}}, {}}});
    write("08:00:00");
    registry.loadAll();
    const auto first = registry.snapshot();
    registry.reload(false);  // nothing changed
    EXPECT_EQ(registry.snapshot(), first);
    write("09:30:00");
    registry.reload(false);
    EXPECT_EQ(served(registry), 9 * 3600 + 1800);
    EXPECT_EQ(first->cities.front()->feed->stopTimesOf(gtfs::TripIdx(0u)).front().departure.count(), 8 * 3600);
    // A broken new feed: the old one keeps serving, and is not read again until it changes.
    fs::remove(feed / "trips.txt");
    touch(feed, ++writes * 1s);
    registry.reload(false);
    EXPECT_EQ(served(registry), 9 * 3600 + 1800);
    EXPECT_EQ(registry.target("bp")->feed, registry.snapshot()->cities.front()->feed);
    EXPECT_FALSE(registry.target("mv"));
    // The watcher reloads in the background, the good feed after the broken one too.
    registry.startWatching(1s);
    write("11:00:00");
    EXPECT_TRUE(eventually([&] { return served(registry) == 11 * 3600; }));
    registry.stopWatching();
}

// One nearby reply from both feeds, the bus's live source matched by its own ids; either feed reloads.
TEST(Registry, ACityOfSeveralFeeds) {
    test::TempDir dir;
    const auto metro = dir.path() / "metro";
    const auto bus = dir.path() / "bus";
    cityFeed(false, "08:04:00").writeTo(metro);
    cityFeed(true, "08:06:00").writeTo(bus);
    const CityEntry entry{{"x", "", "", ""}, {{metro.string(), "metro", ""}, {bus.string(), "bus", ""}}, {}};
    CityRegistry registry({entry});
    registry.loadAll();
    EXPECT_FALSE(registry.target("x"));
    ASSERT_TRUE(registry.target("x/bus"));
    test::publish(*registry.target("x/bus"), {test::message(test::kNow, test::tripUpdate("T1", test::delay(1, 120)))});
    // The metro's source, silent, does not take the bus's data away.
    test::publish(*registry.target("x/metro"), {});
    const auto reply = query::nearby(*registry.snapshot(), test::around(), test::kNow);
    auto listed = test::ids(reply.stopDates);
    std::ranges::sort(listed);
    EXPECT_EQ(listed, (test::Ids{"bus:T1@bus:DT*", "metro:T1@metro:DT"}));
    for (const auto& d : reply.stopDates)
        EXPECT_TRUE(d.stopNearest) << d.tripId << " is not in the nearest group";

    cityFeed(true, "08:07:00").writeTo(bus);
    touch(bus, 5s);
    registry.reload(false);
    EXPECT_EQ(served(registry, "x", "bus:T1"), 8 * 3600 + 7 * 60);
    fs::remove(metro / "trips.txt");
    touch(metro, 5s);
    cityFeed(true, "08:09:00").writeTo(bus);
    touch(bus, 10s);
    registry.reload(false);
    EXPECT_EQ(served(registry, "x", "bus:T1"), 8 * 3600 + 7 * 60);  // a broken metro keeps the city as it was

    CityRegistry broken({entry});
    EXPECT_THAT([&] { broken.loadAll(); },
                ::testing::ThrowsMessage<std::runtime_error>("city x, feed metro (" + metro.string() +
                                                             "): required file trips.txt is missing"));
}

namespace {

// The small city as a zip archive's bytes, its trip leaving at `departure`.
std::string zipped(const std::string& departure) {
    test::TempDir dir;
    const std::string path = (dir.path() / "feed.zip").string();
    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    const auto files = test::smallCity(departure, "23:00:00").files;
    for (const auto& [name, text] : files)
        zip_file_add(archive, name.c_str(), zip_source_buffer(archive, text.data(), text.size(), 0), 0);
    zip_close(archive);
    return test::readFile(path);
}

class FeedDownloadTest : public test::TempHome {
protected:
    // As configure() gives it: the feed key taken from the file name.
    static CityEntry city(const std::string& key, const std::string& path) {
        return {{key, "", "", ""}, {{path, "feed", ""}}, {}};
    }
    FeedLimits limits() const { return {root() / "kept", 1s, 10s, 1 << 20}; }
    api::FeedStatus status(const CityRegistry& registry, const std::string& key) const {
        const auto all = registry.feedStatus();
        const auto s = std::ranges::find(all, key, &api::FeedStatus::city);
        return s == all.end() ? api::FeedStatus{} : *s;
    }

    test::LoopbackHttps https_;
    test::ScopedEnv trust_{"SSL_CERT_FILE", https_.certificateFile().string()};
    std::string url_ = https_.url("/gtfs/feed.zip?key=SECRET");
};

}  // namespace

TEST_F(FeedDownloadTest, DownloadedRefreshedCheckedAndKeptForARestart) {
    const std::string stamp = "Mon, 01 Dec 2025 10:00:00 GMT";
    https_.answer(zipped("08:00:00"), 200, {{"ETag", "\"v1\""}, {"Last-Modified", stamp}});
    https_.answer("", 304);
    https_.answer(zipped("09:30:00"), 200, {{"ETag", "\"v2\""}});
    https_.answer("not a zip", 200, {{"ETag", "\"v3\""}});
    {
        CityRegistry registry({city("bp", url_)}, limits());
        registry.loadAll();
        EXPECT_EQ(served(registry), 8 * 3600);
        registry.startWatching(3600s);
        // 304 keeps the data; the changed feed is loaded; the broken one is dropped.
        ASSERT_TRUE(eventually([&] { return served(registry) == 9 * 3600 + 1800; }));
        EXPECT_TRUE(eventually([&] { return !status(registry, "bp").lastError.empty(); }));
        EXPECT_EQ(served(registry), 9 * 3600 + 1800);
        registry.stopWatching();
        const auto s = status(registry, "bp");
        EXPECT_EQ(s.source, https_.url("/gtfs/feed.zip"));  // the key is never shown
        EXPECT_THAT(s.lastError, ::testing::Not(::testing::HasSubstr("SECRET")));
        EXPECT_LT(s.ageSeconds.value_or(60), 60);
    }
    const auto seen = https_.seen();
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen[0].path, "/gtfs/feed.zip?key=SECRET");
    std::vector<std::string> validators;  // after a 304 the copy and its validators are the same
    for (std::size_t i = 0; i < 4; ++i)
        validators.push_back(seen[i].header("If-None-Match") + " " + seen[i].header("If-Modified-Since"));
    EXPECT_EQ(validators,
              (std::vector<std::string>{"<absent> <absent>", "\"v1\" " + stamp, "\"v1\" " + stamp, "\"v2\" <absent>"}));

    // The publisher is gone: a restart serves the last good copy, and says the refresh fails.
    https_.stop();
    CityRegistry again({city("bp", url_)}, limits());
    again.loadAll();
    EXPECT_EQ(served(again), 9 * 3600 + 1800);
    again.startWatching(3600s);
    EXPECT_TRUE(eventually([&] { return !status(again, "bp").lastError.empty(); }));
    again.stopWatching();
    std::vector<std::string> kept;  // and no download left over
    for (const auto& file : fs::directory_iterator(root() / "kept"))
        kept.push_back(file.path().filename().string());
    EXPECT_THAT(kept, ::testing::UnorderedElementsAre("bp--feed.zip", "bp--feed.zip.validators"));
}

// Without a kept copy a feed that cannot be had leaves its city out and the others serve; with
// no other city the start fails, naming city, feed and cause.
TEST_F(FeedDownloadTest, AFeedThatCannotBeHadAtStartLeavesItsCityOut) {
    test::smallCity().writeTo(root() / "local");
    const std::string named = "city u, feed " + https_.url("/gtfs/feed.zip") + ": ";  // the key never shown
    const std::tuple<std::function<void()>, std::string, std::string> cases[] = {
        {[&] { https_.answer("", 404); }, named + "download failed: HTTP 404", "HTTP 404"},
        {[&] { https_.answer("PK but not a zip"); }, named, "feed.new.zip"},
        {[&] { https_.answer(test::StreamedReply{.bytes = 2 << 20}); }, named + "download failed: reply too large",
         "reply too large"},
    };
    for (const auto& [serve, message, cause] : cases) {
        fs::remove_all(root() / "kept");
        serve();
        CityRegistry alone({city("u", url_)}, limits());
        EXPECT_THAT([&] { alone.loadAll(); },
                    ::testing::ThrowsMessage<std::runtime_error>(::testing::HasSubstr(message)));
        serve();
        CityRegistry both({city("u", url_), city("bp", (root() / "local").string())}, limits());
        both.loadAll();
        EXPECT_EQ(std::tuple(served(both, "u"), served(both, "bp")), std::tuple(-1, 8 * 3600)) << message;
        EXPECT_THAT(status(both, "u").lastError, ::testing::HasSubstr(cause));
        EXPECT_FALSE(fs::exists(root() / "kept" / "u--feed.zip"));
        EXPECT_FALSE(fs::exists(root() / "kept" / "u--feed.new.zip"));
    }
    // A later download that succeeds brings the city in, ahead of the one configured after it.
    https_.answer("", 503);
    https_.answer(zipped("07:15:00"));
    auto patient = limits();
    patient.timeout = 3600s;
    CityRegistry later({city("u", url_), city("bp", (root() / "local").string())}, patient);
    later.loadAll();
    later.startWatching(3600s);
    ASSERT_TRUE(eventually([&] { return served(later, "u") == 7 * 3600 + 900; }));
    // Stopping does not wait for a download under way, here one that would take an hour.
    const auto before = https_.streamedBytes();
    https_.answer(test::StreamedReply{.bytes = SIZE_MAX, .announced = false, .piece = 16, .pause = 20ms});
    ASSERT_TRUE(eventually([&] { return https_.streamedBytes() > before; }));
    later.stopWatching();
    EXPECT_EQ(later.snapshot()->cities.front()->key, "u");
    EXPECT_TRUE(later.target("u"));
}
