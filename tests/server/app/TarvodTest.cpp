// tarvod's configuration, and the program itself where exit codes and signals matter.
#include "server/api/Tls.h"
#include "server/app/Config.h"

#include "tests/support/Feeds.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <gmock/gmock.h>
#include <httplib.h>

#include <csignal>
#include <sstream>
#include <thread>

using namespace velmo;
using namespace velmo::tarvod;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The configuration from a TOML text (none when empty) and command-line flags, split at spaces.
std::variant<Config, ConfigError> configured(test::TempDir& dir, const std::string& toml, const std::string& flags) {
    const std::string path = dir.write("tarvod.toml", toml).string();
    std::istringstream in((toml.empty() ? "" : "--config " + path + " ") + flags);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::vector<const char*> args{"tarvod"};
    for (const auto& w : words)
        args.push_back(w.c_str());
    return configure(std::get<Flags>(parseCommandLine(static_cast<int>(args.size()), args.data())));
}

}  // namespace

TEST(Config, RefusesWhatCannotWork) {
    test::TempDir dir;
    const std::string city = "[[city]]\nkey = \"bp\"\nfeed = \"/srv/bp\"\n";
    const std::string file = "config " + (dir.path() / "tarvod.toml").string() + ": ";
    // The file, the flags, and the message or how it starts.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"max_per_line = 0\n", "", file + "max_per_line must be at least 1"},
        {"threads = 257\n", "", file + "threads must be 1..256"},
        {"keep_alive_max_requests = 0\n", "", file + "keep_alive_max_requests must be 1..1000000"},
        {"max_body_bytes = 100\n", "", file + "max_body_bytes must be 1024..16777216"},
        {"idle_timeout = 3601\n", "", "config: idle_timeout must be 1..3600 seconds"},
        {"feed_refresh = 0\n", "", file + "feed_refresh must be 1..31622400 seconds"},
        {"city = [1]\n", "", file + "[[city]] entries must be tables"},
        {"[[city]]\nkey = \"bp\"\n", "", file + "every [[city]] needs key and feed"},
        {city + "realtime = 5\n", "", file + "realtime must be a string or a list of strings"},
        {city + "realtime = [\"\"]\n", "", file + "realtime must be a string or a list of strings"},
        {"[versions]\nvelmomac = 1\n", "", file + "[versions.velmomac] must be a table"},
        {"listen = \n", "", file},  // TOML's own words follow
        {"", "--feed bp", "bad --feed bp (want KEY=PATH)"},
        {"", "--feed bp/=https://u:k@dl.example/f.zip?key=K", "bad --feed bp/=https://dl.example/f.zip (want"},
        {"", "--feed bp=/srv/bp --realtime bp=", "bad --realtime bp= (want KEY=URL or KEY=PATH)"},
        {city, "--realtime mv=https://u:pw@feeds.example.org/rt.pb?key=K",
         "--realtime mv=https://feeds.example.org/rt.pb: no city with key mv"},
        {"", "", "no city to serve: give --feed KEY=PATH or a --config with [[city]] entries"},
        {"tls_key = \"/k.pem\"\n" + city, "", "give both --tls-cert and --tls-key, or neither"},
        {city, "--listen localhost", "bad --listen localhost (want HOST:PORT)"},
        {city, "--listen 127.0.0.1:65536", "bad port in --listen 127.0.0.1:65536"},
        {city, "--listen 127.0.0.1:x", "bad port in --listen 127.0.0.1:x"},
        {"[[city]]\nkey = \"ny\"\nfeed = 5\n", "", file + "feed must be a path, a { path, key, inner } table"},
        {"[[city]]\nkey = \"ny\"\nfeed = [\"/a/google_transit.zip\", \"/b/google_transit.zip\"]\n", "",
         "city ny: two feeds with key google_transit: give each its own"},
        {"", "--feed ny=/a/bus.zip --feed ny/a:b=/b", "city ny: feed key \"a:b\" may hold only letters"},
        {"", "--feed ny=/a/bus.zip --feed ny=/b/subway --realtime ny=/r.pb",
         "city ny: it has several feeds (bus, subway): name the feed of realtime source /r.pb"},
        {"", "--feed ny=/a/bus.zip --realtime ny/rail=/r.pb",
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
    const auto result =
        configured(dir,
                   "listen = \"0.0.0.0:443\"\ntls_cert = \"/f.pem\"\ntls_key = \"/f.key\"\n"
                   "read_timeout = 7\nrealtime_max_age = 60\nthreads = 8\nfeed_refresh = 600\n"
                   "[[city]]\nkey = \"bp\"\nname = \"Budapest\"\nfeed = \"/srv/old\"\n"
                   "realtime = \"/srv/bp.pb\"\n[versions.velmomac]\nmin_build = 9\n",
                   "--feed bp=/srv/new --feed mv=/srv/mv --feed tx=https://u:k@dl.example/tx-gtfs.zip?k=a.b "
                   "--realtime bp=https://rt.example/bp --listen [::1]:8443 --tls-cert /c.pem --tls-key /k.pem");
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
    const auto result = configured(
        dir,
        "[[city]]\nkey = \"ny\"\nfeed = [\"/srv/subway.zip\", { path = \"/srv/nyc.zip\", "
        "inner = \"gtfs/bus/\" }, { path = \"/srv/lirr\", key = \"rail\" }]\n"
        "realtime = [{ url = \"https://rt/l\", feed = \"rail\" }]\n"
        "[[city]]\nkey = \"bp\"\nfeed = { path = \"/srv/bp.zip\" }\n",
        "--feed mv=/srv/mv.zip --feed mv/bus=/srv/mv-bus --realtime mv/bus=https://rt/mv --realtime bp=/srv/bp.pb "
        "--realtime ny/bus=/ny.pb");
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

class TarvodTest : public test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        test::smallCity().writeTo(feed());
    }
    fs::path feed() const { return root() / "feed"; }
    fs::path cert() const { return root() / "data" / "tarvod" / "tls" / "cert.pem"; }

    // The first departure's minutes text once it is `want`, or the last one seen in ten seconds.
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
    const std::string broken = (root() / "broken").string();
    test::smallCity().writeTo(broken);
    fs::remove(root() / "broken" / "stops.txt");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--feed", "bp=" + broken}, "tarvod: city bp, feed " + broken + ": required file stops.txt is missing\n"},
        {{"--feed", "bp=" + feed().string(), "--now", "yesterday"},
         "tarvod: bad --now yesterday (want e.g. 2025-03-14T08:00:00+01:00)\n"},
    };
    for (const auto& [args, message] : cases) {
        const auto outcome = test::runProgram(TARVOD_BINARY, args);
        EXPECT_EQ(outcome.exitCode, 1) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
}

TEST_F(TarvodTest, ServesReloadsOnSighupAndStopsOnSigterm) {
    const int port = test::freePort();
    const auto config = dir().write(
        "tarvod.toml", "reload_check_interval = 3600\n[[city]]\nkey = \"bp\"\nfeed = \"" + feed().string() + "\"\n");
    // Local time, 150 s before the 08:00 trip: a slow start (up to 30 s) still leaves two minutes.
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
