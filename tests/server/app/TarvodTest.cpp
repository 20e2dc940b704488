// tarvod's own parts: its configuration, the city registry, and the program itself where a
// process is what matters (exit codes, signals, the generated certificate).
#include "server/api/Tls.h"
#include "server/app/CityRegistry.h"
#include "server/app/Config.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/Feeds.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <gmock/gmock.h>
#include <httplib.h>

#include <csignal>
#include <thread>

using namespace velmo;
using namespace velmo::tarvod;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The configuration from a TOML text (none when empty) and command-line flags.
std::variant<Config, ConfigError> configured(test::TempDir& dir, const std::string& toml,
                                             std::vector<const char*> args) {
    const std::string path = dir.write("tarvod.toml", toml).string();
    if (!toml.empty())
        args.insert(args.begin(), {"--config", path.c_str()});
    args.insert(args.begin(), "tarvod");
    auto flags = parseCommandLine(static_cast<int>(args.size()), args.data());
    return configure(std::get<Flags>(flags));
}

}  // namespace

TEST(Config, RefusesWhatCannotWork) {
    test::TempDir dir;
    const std::string city = "[[city]]\nkey = \"bp\"\nfeed = \"/srv/bp\"\n";
    const std::string file = "config " + (dir.path() / "tarvod.toml").string() + ": ";
    // The file, the flags, and the message or how it starts.
    const std::tuple<std::string, std::vector<const char*>, std::string> cases[] = {
        {"max_per_line = 0\n", {}, file + "max_per_line must be at least 1"},
        {"threads = 257\n", {}, file + "threads must be 1..256"},
        {"keep_alive_max_requests = 0\n", {}, file + "keep_alive_max_requests must be 1..1000000"},
        {"max_body_bytes = 100\n", {}, file + "max_body_bytes must be 1024..16777216"},
        {"idle_timeout = 3601\n", {}, "config: idle_timeout must be 1..3600 seconds"},
        {"feed_refresh = 0\n", {}, file + "feed_refresh must be 1..31622400 seconds"},
        {"city = [1]\n", {}, file + "[[city]] entries must be tables"},
        {"[[city]]\nkey = \"bp\"\n", {}, file + "every [[city]] needs key and feed"},
        {city + "realtime = 5\n", {}, file + "realtime must be a string or a list of strings"},
        {city + "realtime = [\"\"]\n", {}, file + "realtime must be a string or a list of strings"},
        {"[versions]\nvelmomac = 1\n", {}, file + "[versions.velmomac] must be a table"},
        {"listen = \n", {}, file},  // TOML's own words follow
        {"", {"--feed", "bp"}, "bad --feed bp (want KEY=PATH)"},
        {"", {"--feed", "bp/=https://u:k@dl.example/f.zip?key=K"}, "bad --feed bp/=https://dl.example/f.zip (want"},
        {"", {"--feed", "bp=/srv/bp", "--realtime", "bp="}, "bad --realtime bp= (want KEY=URL or KEY=PATH)"},
        {city,
         {"--realtime", "mv=https://u:pw@feeds.example.org/rt.pb?key=K"},
         "--realtime mv=https://feeds.example.org/rt.pb: no city with key mv"},
        {"", {}, "no city to serve: give --feed KEY=PATH or a --config with [[city]] entries"},
        {"tls_key = \"/k.pem\"\n" + city, {}, "give both --tls-cert and --tls-key, or neither"},
        {city, {"--listen", "localhost"}, "bad --listen localhost (want HOST:PORT)"},
        {city, {"--listen", "127.0.0.1:65536"}, "bad port in --listen 127.0.0.1:65536"},
        {city, {"--listen", "127.0.0.1:x"}, "bad port in --listen 127.0.0.1:x"},
        {"[[city]]\nkey = \"ny\"\nfeed = 5\n", {}, file + "feed must be a path, a { path, key, inner } table"},
        {"[[city]]\nkey = \"ny\"\nfeed = [\"/a/google_transit.zip\", \"/b/google_transit.zip\"]\n",
         {},
         "city ny: two feeds with key google_transit: give each its own"},
        {"", {"--feed", "ny=/a/bus.zip", "--feed", "ny/a:b=/b"}, "city ny: feed key \"a:b\" may hold only letters"},
        {"",
         {"--feed", "ny=/a/bus.zip", "--feed", "ny=/b/subway", "--realtime", "ny=/r.pb"},
         "city ny: it has several feeds (bus, subway): name the feed of realtime source /r.pb"},
        {"",
         {"--feed", "ny=/a/bus.zip", "--realtime", "ny/rail=/r.pb"},
         "city ny: realtime source /r.pb names feed rail, which the city does not have (its feeds: bus)"},
    };
    for (const auto& [toml, args, message] : cases) {
        const auto result = configured(dir, toml, args);
        const auto* error = std::get_if<ConfigError>(&result);
        ASSERT_NE(error, nullptr) << message;
        EXPECT_EQ(error->message.substr(0, message.size()), message) << error->message;
    }
}

TEST(Config, FlagsOverrideAndExtendTheFile) {
    test::TempDir dir;
    // A file without a city is a fresh install waiting for one, not an error.
    const auto waiting = configured(dir, "listen = \"127.0.0.1:8443\"\n", {});
    ASSERT_TRUE(std::holds_alternative<Config>(waiting)) << std::get<ConfigError>(waiting).message;
    EXPECT_TRUE(std::get<Config>(waiting).cities.empty());
    const auto result =
        configured(dir,
                   "listen = \"0.0.0.0:443\"\ntls_cert = \"/f.pem\"\ntls_key = \"/f.key\"\n"
                   "read_timeout = 7\nrealtime_max_age = 60\nthreads = 8\nfeed_refresh = 600\n"
                   "[[city]]\nkey = \"bp\"\nname = \"Budapest\"\nfeed = \"/srv/old\"\n"
                   "realtime = \"/srv/bp.pb\"\n[versions.velmomac]\nmin_build = 9\n",
                   {"--feed", "bp=/srv/new", "--feed", "mv=/srv/mv", "--feed",
                    "tx=https://u:k@dl.example/tx-gtfs.zip?k=a.b", "--realtime", "bp=https://rt.example/bp", "--listen",
                    "[::1]:8443", "--tls-cert", "/c.pem", "--tls-key", "/k.pem"});
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<ConfigError>(result).message;
    const auto& c = std::get<Config>(result);
    ASSERT_EQ(c.cities.size(), 3u);
    EXPECT_EQ(std::tuple(c.cities[0].city.key, c.cities[0].city.name, c.cities[0].feeds),
              std::tuple("bp", "Budapest", std::vector<FeedEntry>{{"/srv/new", "new", ""}}));
    EXPECT_EQ(c.cities[0].realtime, (std::vector<LiveEntry>{{"/srv/bp.pb", ""}, {"https://rt.example/bp", ""}}));
    EXPECT_EQ(std::tuple(c.cities[1].city.key, c.cities[1].feeds[0].path), std::tuple("mv", "/srv/mv"));
    EXPECT_EQ(c.cities[2].feeds[0].key, "tx-gtfs");  // a URL's feed is named by its path, never its query
    EXPECT_EQ(c.feeds.refresh, 600s);
    EXPECT_EQ(std::tuple(c.host, c.port, c.tlsCert, c.tlsKey), std::tuple("::1", 8443, "/c.pem", "/k.pem"));
    EXPECT_EQ(std::tuple(c.server.requestTimeout, c.server.writeTimeout, c.realtime.maxAge, c.reloadCheck),
              std::tuple(7s, 5s, 60s, 30s));
    EXPECT_EQ(std::pair(c.server.threads, c.server.versions.at("velmomac").build), std::pair(8, 9LL));
}

// feed may be a list of paths and tables; a city's --feed repeated adds feeds, and live sources
// of a city of several feeds are polled under the name of their feed.
TEST(Config, CitiesOfSeveralFeeds) {
    test::TempDir dir;
    const auto result =
        configured(dir,
                   "[[city]]\nkey = \"ny\"\nfeed = [\"/srv/subway.zip\", { path = \"/srv/nyc.zip\", "
                   "inner = \"gtfs/bus/\" }, { path = \"/srv/lirr\", key = \"rail\" }]\n"
                   "realtime = [{ url = \"https://rt/l\", feed = \"rail\" }]\n"
                   "[[city]]\nkey = \"bp\"\nfeed = { path = \"/srv/bp.zip\" }\n",
                   {"--feed", "mv=/srv/mv.zip", "--feed", "mv/bus=/srv/mv-bus", "--realtime", "mv/bus=https://rt/mv",
                    "--realtime", "bp=/srv/bp.pb", "--realtime", "ny/bus=/ny.pb"});
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<ConfigError>(result).message;
    const auto& c = std::get<Config>(result);
    ASSERT_EQ(c.cities.size(), 3u);
    EXPECT_EQ(c.cities[0].feeds,
              (std::vector<FeedEntry>{
                  {"/srv/subway.zip", "subway", ""}, {"/srv/nyc.zip", "bus", "gtfs/bus/"}, {"/srv/lirr", "rail", ""}}));
    EXPECT_EQ(c.cities[2].feeds, (std::vector<FeedEntry>{{"/srv/mv.zip", "mv", ""}, {"/srv/mv-bus", "bus", ""}}));
    std::vector<std::pair<std::string, std::string>> sources;
    for (const auto& s : liveSources(c))
        sources.emplace_back(s.city, s.location);
    EXPECT_EQ(
        sources,
        (std::vector<std::pair<std::string, std::string>>{
            {"ny/rail", "https://rt/l"}, {"ny/bus", "/ny.pb"}, {"bp", "/srv/bp.pb"}, {"mv/bus", "https://rt/mv"}}));
}

// A generated pair that cannot serve (cut to 0 bytes by a full disk, or with a key of another
// pair) is set aside and replaced; a sound one is kept as it is.
TEST(Config, AnUnusableGeneratedCertificateIsReplacedAndASoundOneKept) {
    test::TempDir dir;
    const test::ScopedEnv data("XDG_DATA_HOME", dir.path().string());
    const fs::path tls = dir.path() / "tarvod" / "tls";
    api::writeSelfSignedCertificate((dir.path() / "other.pem").string(), (dir.path() / "other.key").string());
    const std::function<void()> damage[] = {
        [&] { fs::resize_file(tls / "cert.pem", 0); },
        [&] { fs::copy_file(dir.path() / "other.key", tls / "key.pem", fs::copy_options::overwrite_existing); },
        [&] { fs::remove(tls / "key.pem"); },
        [] {},
    };
    for (std::size_t i = 0; i < std::size(damage); ++i) {
        Config config;
        ASSERT_FALSE(useDefaultCertificate(config));  // the first start makes a pair
        const std::string before = test::readFile(tls / "cert.pem");
        damage[i]();
        config = Config{};
        ASSERT_FALSE(useDefaultCertificate(config)) << i;
        EXPECT_EQ(api::unusableCertificate(config.tlsCert, config.tlsKey), std::nullopt) << i;
        const bool sound = i + 1 == std::size(damage);
        EXPECT_EQ(test::readFile(tls / "cert.pem") == before, sound) << i;
        std::size_t setAside = 0;
        for (const auto& entry : fs::directory_iterator(tls))
            setAside += entry.path().filename().string().find(".unusable-") != std::string::npos;
        // Both files go aside, or only the certificate when the key was missing.
        EXPECT_EQ(setAside, sound ? 0u : i == 2 ? 1u : 2u) << i;
        fs::remove_all(tls);
    }
}

TEST(Config, NowWithOffsetZuluOrLocalTime) {
    const auto* budapest = date::locate_zone("Europe/Budapest");
    const auto at = [](int hour) { return date::sys_days(date::year(2025) / 3 / 14) + std::chrono::hours(hour); };
    // Local times are in the first city's zone, in summer too.
    const std::pair<const char*, std::optional<std::chrono::sys_seconds>> cases[] = {
        {"2025-03-14T08:00:00+01:00", at(7)},
        {"2025-03-14T08:00:00-0500", at(13)},
        {"2025-03-14T08:00:00Z", at(8)},
        {"2025-03-14 08:00:00", at(7)},
        {"2025-07-14T08:00:00", at(6) + date::days(122)},
        {"2025-03-14", std::nullopt},
        {"2025-03-14T08:00:00+01:00 later", std::nullopt}};
    for (const auto& [text, want] : cases)
        EXPECT_EQ(parseNow(text, budapest), want) << text;
}

namespace {

// The departure of a trip's first stop as the registry serves it now, in seconds.
int served(const CityRegistry& registry, const std::string& trip = "T1") {
    const auto snapshot = registry.snapshot();  // holds the feed while it is read
    const auto& feed = *snapshot->cities.front()->feed;
    return static_cast<int>(feed.stopTimesOf(feed.tripById.at(trip)).front().departure.count());
}

// Gives a feed a modification time `ahead` in the future, so that a reload check sees it changed.
void touch(const fs::path& feed, std::chrono::seconds ahead) {
    fs::last_write_time(feed, fs::file_time_type::clock::now() + ahead);
}

class RegistryTest : public ::testing::Test {
protected:
    // Writes the city's feed with its one trip leaving at `departure`; the feed's time moves on.
    void writeFeed(const std::string& departure) {
        test::smallCity(departure, "23:00:00").writeTo(feed_);
        touch(feed_, ++writes_ * 1s);
    }
    int served() const { return ::served(registry_); }

    test::TempDir dir_;
    fs::path feed_ = dir_.path() / "feed";
    int writes_ = 0;
    CityRegistry registry_{{{{"bp", "", "", ""}, {{feed_.string(), "", ""}}, {}}}};
};

}  // namespace

TEST_F(RegistryTest, ReloadsAChangedFeedKeepsServingWhenTheNewOneIsBrokenAndWatches) {
    writeFeed("08:00:00");
    registry_.loadAll();
    const auto first = registry_.snapshot();
    registry_.reload(false);  // nothing changed
    EXPECT_EQ(registry_.snapshot(), first);
    writeFeed("09:30:00");
    registry_.reload(false);
    EXPECT_EQ(served(), 9 * 3600 + 1800);
    EXPECT_EQ(first->cities.front()->feed->stopTimesOf(gtfs::TripIdx(0u)).front().departure.count(), 8 * 3600);
    // A broken new feed: the old one keeps serving, and is not read again until it changes.
    fs::remove(feed_ / "trips.txt");
    touch(feed_, ++writes_ * 1s);
    registry_.reload(false);
    EXPECT_EQ(served(), 9 * 3600 + 1800);
    EXPECT_EQ(registry_.target("bp")->feed, registry_.snapshot()->cities.front()->feed);
    EXPECT_FALSE(registry_.target("mv"));
    writeFeed("10:15:00");
    registry_.reload(true);
    EXPECT_EQ(served(), 10 * 3600 + 900);
    // The watcher does the same in the background.
    registry_.startWatching(1s);
    writeFeed("11:00:00");
    for (int i = 0; i < 300 && served() != 11 * 3600; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(served(), 11 * 3600);
    registry_.stopWatching();
}

namespace {

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

// One nearby reply from both feeds, the bus's live source matched through its own ids, and a
// change of either feed reloading the city.
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
    const auto live = registry.target("x/bus");
    ASSERT_TRUE(live);
    live->live->publish(realtime::buildOverlay(
        live->feed, live->zone,
        std::vector<realtime::Input>{{std::make_shared<realtime::pb::FeedMessage>(
                                          test::message(test::kNow, test::tripUpdate("T1", test::delay(1, 120)))),
                                      test::kNow}},
        test::kNow, 300s));
    // The metro's source, silent, does not take the bus's data away.
    const auto silent = registry.target("x/metro");
    silent->live->publish(realtime::buildOverlay(silent->feed, silent->zone, {}, test::kNow, 300s));
    const auto reply = query::nearby(*registry.snapshot(), test::around(), test::kNow);
    auto listed = test::ids(reply.stopDates);
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, (test::Ids{"bus:T1@bus:DT*", "metro:T1@metro:DT"}));
    for (const auto& d : reply.stopDates)
        EXPECT_TRUE(d.stopNearest) << d.tripId << " is not in the nearest group";

    cityFeed(true, "08:07:00").writeTo(bus);
    touch(bus, 5s);
    registry.reload(false);
    EXPECT_EQ(served(registry, "bus:T1"), 8 * 3600 + 7 * 60);
    fs::remove(metro / "trips.txt");
    touch(metro, 5s);
    cityFeed(true, "08:09:00").writeTo(bus);
    touch(bus, 10s);
    registry.reload(false);
    EXPECT_EQ(served(registry, "bus:T1"), 8 * 3600 + 7 * 60);  // a broken metro keeps the city as it was

    CityRegistry broken({entry});
    EXPECT_THAT([&] { broken.loadAll(); },
                ::testing::ThrowsMessage<std::runtime_error>("city x, feed metro (" + metro.string() +
                                                             "): required file trips.txt is missing"));
}

namespace {

class TarvodTest : public test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        test::smallCity().writeTo(feed());
    }
    fs::path feed() const { return root() / "feed"; }
    fs::path cert() const { return root() / "data" / "tarvod" / "tls" / "cert.pem"; }

    // The minutes text of the first departure at Deák tér once tarvod answers with `want` (or
    // the last text seen after ten seconds).
    std::string minutesText(int port, const std::string& want) const {
        const std::string body = R"({"method":"TRIPSFORLOCATION","lat":47.497,"lon":19.054,"fetchRadius":300,)"
                                 R"("realRadius":300,"favRoutes":[],"favStops":[],"favSortMode":3,"minutes":30})";
        std::string seen;
        for (int i = 0; i < 200 && seen != want; ++i) {
            httplib::SSLClient client("127.0.0.1", port);
            client.set_ca_cert_path(cert().c_str());  // none until tarvod has made it: no reply
            client.enable_server_certificate_verification(true);
            const auto reply = client.Post("/v2/nearby/", {{"X-APILEVEL", "2"}}, body, "application/json");
            const auto at = reply ? reply->body.find(R"("tripDepartureMinutesText":")") : std::string::npos;
            seen =
                at == std::string::npos ? seen : reply->body.substr(at + 28, reply->body.find('"', at + 28) - at - 28);
            std::this_thread::sleep_for(seen == want ? 0ms : 50ms);
        }
        return seen;
    }
};

}  // namespace

TEST_F(TarvodTest, StartupFailuresExitWithOneClearMessage) {
    test::smallCity().writeTo(root() / "broken");
    fs::remove(root() / "broken" / "stops.txt");
    const std::string bp = "bp=" + feed().string();
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"--feed", "bp=" + (root() / "broken").string()},
         1,
         "tarvod: city bp, feed " + (root() / "broken").string() + ": required file stops.txt is missing\n"},
        {{"--feed", bp, "--no-such-flag"}, 109, "--no-such-flag"},
        {{"--feed", bp, "--now", "yesterday"},
         1,
         "tarvod: bad --now yesterday (want e.g. 2025-03-14T08:00:00+01:00)\n"},
    };
    for (const auto& [args, code, message] : cases) {
        const auto outcome = test::runProgram(TARVOD_BINARY, args);
        EXPECT_EQ(outcome.exitCode, code) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
}

TEST_F(TarvodTest, ServesReloadsOnSighupAndStopsOnSigterm) {
    const int port = test::freePort();
    const auto config = dir().write(
        "tarvod.toml", "reload_check_interval = 3600\n[[city]]\nkey = \"bp\"\nfeed = \"" + feed().string() + "\"\n");
    // Local time of the city: 07:57:30 in Budapest, 150 s before the 08:00 trip; the clock runs
    // on from there, so a slow start (up to 30 s) still leaves two whole minutes.
    test::RunningProgram tarvod(
        TARVOD_BINARY,
        {"--config", config.string(), "--listen", "127.0.0.1:" + std::to_string(port), "--now", "2025-03-14T07:57:30"},
        (root() / "stderr").string());
    ASSERT_EQ(minutesText(port, "2"), "2") << dir().read("stderr");
    EXPECT_EQ(fs::status(cert().parent_path() / "key.pem").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    // The feed changes, but only SIGHUP has it read before the hour is out.
    test::smallCity("08:10:00", "08:15:00").writeTo(feed());
    tarvod.signal(SIGHUP);
    EXPECT_EQ(minutesText(port, "12"), "12") << dir().read("stderr");
    tarvod.signal(SIGTERM);
    EXPECT_EQ(tarvod.wait(), 0);
}
