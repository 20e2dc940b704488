// tarvod's own parts: its configuration, the city registry, and the program itself where a
// process is what matters (exit codes, signals, the generated certificate).
#include "server/app/CityRegistry.h"
#include "server/app/Config.h"

#include "tests/support/Feeds.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
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
    if (!toml.empty()) {
        args.insert(args.begin(), {"--config", path.c_str()});
    }
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
        {"reload_check_interval = 0\n", {}, "config: reload_check_interval must be 1..3600 seconds"},
        {"city = [1]\n", {}, file + "[[city]] entries must be tables"},
        {"[[city]]\nkey = \"bp\"\n", {}, file + "every [[city]] needs key and feed"},
        {city + "realtime = 5\n", {}, file + "realtime must be a string or a list of strings"},
        {city + "realtime = [\"\"]\n", {}, file + "realtime must be a string or a list of strings"},
        {"[versions]\nvelmomac = 1\n", {}, file + "[versions.velmomac] must be a table"},
        {"listen = \n", {}, file},  // TOML's own words follow
        {"", {"--feed", "bp"}, "bad --feed bp (want KEY=PATH)"},
        {"", {"--feed", "=x"}, "bad --feed =x (want KEY=PATH)"},
        {"", {"--feed", "bp=/srv/bp", "--realtime", "bp="}, "bad --realtime bp= (want KEY=URL or KEY=PATH)"},
        {city, {"--realtime", "mv=/srv/mv.pb"}, "--realtime mv=/srv/mv.pb: no city with key mv"},
        {"", {}, "no city to serve: give --feed KEY=PATH or a --config with [[city]] entries"},
        {city, {"--tls-cert", "/c.pem"}, "give both --tls-cert and --tls-key, or neither"},
        {"tls_key = \"/k.pem\"\n" + city, {}, "give both --tls-cert and --tls-key, or neither"},
        {city, {"--listen", "localhost"}, "bad --listen localhost (want HOST:PORT)"},
        {city, {"--listen", "127.0.0.1:65536"}, "bad port in --listen 127.0.0.1:65536"},
        {city, {"--listen", "127.0.0.1:x"}, "bad port in --listen 127.0.0.1:x"},
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
    const auto result =
        configured(dir,
                   "listen = \"0.0.0.0:443\"\ntls_cert = \"/f.pem\"\ntls_key = \"/f.key\"\n"
                   "read_timeout = 7\nrealtime_max_age = 60\nthreads = 8\n"
                   "[[city]]\nkey = \"bp\"\nname = \"Budapest\"\nfeed = \"/srv/old\"\n"
                   "realtime = \"/srv/bp.pb\"\n[versions.velmomac]\nmin_build = 9\n",
                   {"--feed", "bp=/srv/new", "--feed", "mv=/srv/mv", "--realtime", "bp=https://rt.example/bp",
                    "--listen", "[::1]:8443", "--tls-cert", "/c.pem", "--tls-key", "/k.pem"});
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<ConfigError>(result).message;
    const auto& c = std::get<Config>(result);
    ASSERT_EQ(c.cities.size(), 2u);
    EXPECT_EQ(std::tuple(c.cities[0].city.key, c.cities[0].city.name, c.cities[0].feed),
              std::tuple("bp", "Budapest", "/srv/new"));
    EXPECT_EQ(c.cities[0].realtime, (std::vector<std::string>{"/srv/bp.pb", "https://rt.example/bp"}));
    EXPECT_EQ(std::tuple(c.cities[1].city.key, c.cities[1].feed), std::tuple("mv", "/srv/mv"));
    EXPECT_EQ(std::tuple(c.host, c.port, c.tlsCert, c.tlsKey), std::tuple("::1", 8443, "/c.pem", "/k.pem"));
    EXPECT_EQ(std::tuple(c.server.requestTimeout, c.server.writeTimeout, c.realtime.maxAge, c.reloadCheck),
              std::tuple(7s, 5s, 60s, 30s));
    EXPECT_EQ(std::pair(c.server.threads, c.server.versions.at("velmomac").build), std::pair(8, 9LL));
}

TEST(Config, TheShippedExampleIsValid) {
    const char* args[] = {"tarvod", "--config", TARVOD_EXAMPLE_CONFIG};
    const auto result = configure(std::get<Flags>(parseCommandLine(3, args)));
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<ConfigError>(result).message;
    const auto& c = std::get<Config>(result);
    EXPECT_EQ(std::tuple(c.host, c.port, c.cities.size(), c.server.threads, c.server.versions.size()),
              std::tuple("127.0.0.1", 8443, 1u, api::ServerOptions{}.threads, 2u));
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
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(parseNow(text, budapest), want) << text;
    }
}

namespace {

class RegistryTest : public ::testing::Test {
protected:
    // Writes the city's feed with its one trip leaving at `departure`; the feed's time moves on.
    void writeFeed(const std::string& departure) {
        test::smallCity(departure, "23:00:00").writeTo(feed_);
        touch();
    }
    void touch() { fs::last_write_time(feed_, fs::file_time_type::clock::now() + (++writes_) * 1s); }
    // The departure of the trip as the registry serves it now, in seconds.
    int served() const {
        const auto snapshot = registry_.snapshot();  // holds the feed while it is read
        const auto& feed = *snapshot->cities.front()->feed;
        return static_cast<int>(feed.stopTimesOf(feed.tripById.at("T1")).front().departure.count());
    }

    test::TempDir dir_;
    fs::path feed_ = dir_.path() / "feed";
    int writes_ = 0;
    CityRegistry registry_{{{{"bp", "", "", ""}, feed_.string(), {}}}};
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
    touch();
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
    for (int i = 0; i < 300 && served() != 11 * 3600; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(served(), 11 * 3600);
    registry_.stopWatching();
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
        {{"--feed", bp, "--listen", "nope"}, 1, "tarvod: bad --listen nope (want HOST:PORT)\n"},
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
