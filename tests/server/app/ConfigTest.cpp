#include "server/app/Config.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

using namespace velmo::tarvod;
using namespace std::chrono_literals;

namespace {

// The configuration from a TOML text (none when empty) and command-line flags.
std::variant<Config, ConfigError> configured(velmo::test::TempDir& dir, const std::string& toml,
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
    velmo::test::TempDir dir;
    const std::string city = "[[city]]\nkey = \"bp\"\nfeed = \"/srv/bp\"\n";
    const std::string file = "config " + (dir.path() / "tarvod.toml").string() + ": ";
    struct Case {
        std::string toml;
        std::vector<const char*> args;
        std::string message;  // or how it starts
    };
    const Case cases[] = {
        {"max_per_line = 0\n", {}, file + "max_per_line must be at least 1"},
        {"threads = 257\n", {}, file + "threads must be 1..256"},
        {"keep_alive_max_requests = 0\n", {}, file + "keep_alive_max_requests must be 1..1000000"},
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
    velmo::test::TempDir dir;
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
    EXPECT_EQ(std::tuple(c.server.readTimeout, c.server.writeTimeout, c.realtime.maxAge, c.reloadCheck),
              std::tuple(7s, 5s, 60s, 30s));
    EXPECT_EQ(c.server.threads, 8);
    EXPECT_EQ(c.server.versions.at("velmomac").build, 9);
}

TEST(Config, TheShippedExampleIsValid) {
    const char* args[] = {"tarvod", "--config", TARVOD_EXAMPLE_CONFIG};
    const auto result = configure(std::get<Flags>(parseCommandLine(3, args)));
    ASSERT_TRUE(std::holds_alternative<Config>(result)) << std::get<ConfigError>(result).message;
    const auto& c = std::get<Config>(result);
    EXPECT_EQ(std::tuple(c.host, c.port, c.cities.size(), c.server.threads), std::tuple("127.0.0.1", 8443, 1u, 64));
    EXPECT_EQ(c.server.versions.size(), 2u);
}

TEST(Config, NowWithOffsetZuluOrLocalTime) {
    const auto* budapest = date::locate_zone("Europe/Budapest");
    const auto at = [](int hour) { return date::sys_days(date::year(2025) / 3 / 14) + std::chrono::hours(hour); };
    const std::pair<const char*, std::optional<std::chrono::sys_seconds>> cases[] = {
        {"2025-03-14T08:00:00+01:00", at(7)}, {"2025-03-14T08:00:00-0500", at(13)},
        {"2025-03-14 08:00:00+01:00", at(7)}, {"2025-03-14T08:00:00Z", at(8)},
        {"2025-03-14T08:00:00", at(7)},  // local time in the first city's zone
        {"2025-03-14 08:00:00", at(7)},       {"2025-07-14T08:00:00", at(6) + date::days(122)},  // summer time
        {"2025-03-14", std::nullopt},         {"2025-03-14T08:00:00+01:00 later", std::nullopt},
        {"tomorrow", std::nullopt},
    };
    for (const auto& [text, want] : cases) {
        EXPECT_EQ(parseNow(text, budapest), want) << text;
    }
}
