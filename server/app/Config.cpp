// GCC 12 sees uninitialised fields in date::parse where there are none; date.h must be read
// under this before any header brings it in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <date/date.h>
#include <date/tz.h>
#pragma GCC diagnostic pop

#include "server/app/Config.h"

#include "platform/paths/UserFolders.h"

#include "server/api/Tls.h"

#include <CLI/CLI.hpp>
#include <spdlog/spdlog.h>
#include <toml++/toml.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <tuple>

namespace velmo::tarvod {

namespace {

namespace fs = std::filesystem;

// A number of seconds in 1..3600, or the fallback when the key is absent.
std::optional<ConfigError> readSeconds(const toml::table& t, const char* key, std::chrono::seconds& out) {
    const auto v = t[key].value<std::int64_t>();
    if (v && (*v < 1 || *v > 3600)) {
        return ConfigError{std::string("config: ") + key + " must be 1..3600 seconds"};
    }
    if (v) {
        out = std::chrono::seconds(*v);
    }
    return std::nullopt;
}

std::optional<ConfigError> readFeed(const toml::node& node, std::vector<FeedEntry>& out) {
    FeedEntry f;
    if (const auto path = node.value<std::string>()) {
        f.path = *path;
    } else if (const auto* t = node.as_table()) {
        f.path = (*t)["path"].value_or(std::string());
        f.key = (*t)["key"].value_or(std::string());
        f.inner = (*t)["inner"].value_or(std::string());
    }
    if (f.path.empty()) {
        return ConfigError{"feed must be a path, a { path, key, inner } table, or a list of them"};
    }
    out.push_back(std::move(f));
    return std::nullopt;
}

std::optional<ConfigError> readLive(const toml::node& node, std::vector<LiveEntry>& out) {
    LiveEntry r;
    if (const auto location = node.value<std::string>()) {
        r.location = *location;
    } else if (const auto* t = node.as_table()) {
        r.location = (*t)["url"].value_or(std::string());
        r.feed = (*t)["feed"].value_or(std::string());
    }
    if (r.location.empty()) {
        return ConfigError{"realtime must be a string or a list of strings or { url, feed } tables"};
    }
    out.push_back(std::move(r));
    return std::nullopt;
}

std::optional<ConfigError> readCity(const toml::node& node, const std::string& path, CityEntry& e) {
    const auto* c = node.as_table();
    if (c == nullptr) {
        return ConfigError{"config " + path + ": [[city]] entries must be tables"};
    }
    e.city.key = (*c)["key"].value_or(std::string());
    e.city.name = (*c)["name"].value_or(std::string());
    e.city.url = (*c)["url"].value_or(std::string());
    e.city.nightPattern = (*c)["night_pattern"].value_or(std::string());
    // A path, a table, or a list of either; the same for live sources.
    const auto each = [&](const char* key, const auto& read) -> std::optional<ConfigError> {
        const auto* value = c->get(key);
        const auto* many = value != nullptr ? value->as_array() : nullptr;
        std::optional<ConfigError> error;
        if (many != nullptr) {
            for (const auto& n : *many) {
                error = error ? error : read(n);
            }
        } else if (value != nullptr) {
            error = read(*value);
        }
        if (error) {
            error->message = "config " + path + ": " + error->message;
        }
        return error;
    };
    if (auto error = each("feed", [&](const toml::node& n) { return readFeed(n, e.feeds); })) {
        return error;
    }
    if (auto error = each("realtime", [&](const toml::node& n) { return readLive(n, e.realtime); })) {
        return error;
    }
    if (e.city.key.empty() || e.feeds.empty()) {
        return ConfigError{"config " + path + ": every [[city]] needs key and feed"};
    }
    return std::nullopt;
}

bool isKey(std::string_view key) {
    return !key.empty() && std::all_of(key.begin(), key.end(), [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '-' || ch == '_';
    });
}

// The key of a feed given none: the last folder of `inner`, else the file's name without its
// extension, in letters, digits, - and _.
std::string defaultFeedKey(const FeedEntry& f) {
    const auto last = [](std::string text) {
        while (!text.empty() && text.back() == '/') {
            text.pop_back();
        }
        return fs::path(text).filename();
    };
    // A URL is named by its path: its query may hold a key.
    const std::string path = isUrl(f.path) ? realtime::shownLocation(f.path) : f.path;
    std::string key = f.inner.empty() ? last(path).stem().string() : last(f.inner).string();
    for (char& ch : key) {
        ch = isKey(std::string_view(&ch, 1)) ? ch : '_';
    }
    return key;
}

// Fills in the feeds' default keys and checks that every live source names one feed.
std::optional<ConfigError> checkFeeds(CityEntry& e) {
    const std::string city = "city " + e.city.key + ": ";
    std::string keys;
    for (auto& f : e.feeds) {
        if (f.key.empty()) {
            f.key = defaultFeedKey(f);
            f.key = f.key.empty() ? "feed" + std::to_string(&f - e.feeds.data() + 1) : f.key;
        }
        if (!isKey(f.key)) {
            return ConfigError{city + "feed key \"" + f.key + "\" may hold only letters, digits, - and _"};
        }
        const auto same = std::count_if(e.feeds.begin(), e.feeds.end(), [&](const FeedEntry& o) {
            return o.key == f.key || (o.key.empty() && defaultFeedKey(o) == f.key);
        });
        if (same > 1) {
            return ConfigError{city + "two feeds with key " + f.key +
                               ": give each its own (feed = [{ path = \"...\", key = \"...\" }], or --feed " +
                               e.city.key + "/KEY=PATH)"};
        }
        keys += (keys.empty() ? "" : ", ") + f.key;
    }
    for (const auto& r : e.realtime) {
        if (r.feed.empty() && e.feeds.size() > 1) {
            return ConfigError{city + "it has several feeds (" + keys + "): name the feed of realtime source " +
                               r.location + " (realtime = [{ url = \"...\", feed = \"...\" }], or --realtime " +
                               e.city.key + "/FEED=URL)"};
        }
        if (!r.feed.empty() &&
            std::none_of(e.feeds.begin(), e.feeds.end(), [&](const FeedEntry& f) { return f.key == r.feed; })) {
            return ConfigError{city + "realtime source " + r.location + " names feed " + r.feed +
                               ", which the city does not have (its feeds: " + keys + ")"};
        }
    }
    return std::nullopt;
}

// Splits "KEY=VALUE" with both parts non-empty.
std::optional<std::pair<std::string, std::string>> keyValue(const std::string& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
        return std::nullopt;
    }
    return std::pair{text.substr(0, eq), text.substr(eq + 1)};
}

}  // namespace

std::variant<Flags, int> parseCommandLine(int argc, const char* const* argv) {
    CLI::App app{
        "tarvod - public-transport departures service on GTFS timetables.\n\n"
        "Answers the departures client over HTTPS: POST /v2/nearby/, /v2/more/,\n"
        "/v2/vehicle/; GET /healthz and /metrics.",
        "tarvod"};
    app.footer(
        "Signals: SIGHUP reloads every feed; SIGTERM and SIGINT stop the service.\n"
        "A feed file whose modification time changes is reloaded too.\n\n"
        "Exit status: 0 when stopped by SIGTERM or SIGINT; 1 if the service cannot\n"
        "start (bad configuration, unreadable feed, address in use) or serving fails;\n"
        "another non-zero value on a bad command line.\n\n"
        "Examples:\n"
        "  tarvod --config /etc/tarvod/tarvod.toml\n"
        "  tarvod --feed mv=/srv/gtfs/mintavaros.zip --now 2025-03-14T08:00:00+01:00");
    Flags f;
    app.add_option("-c,--config", f.configPath, "TOML configuration file")->check(CLI::ExistingFile);
    app.add_option("-f,--feed", f.feeds,
                   "city feed as KEY=PATH (zip or folder) or KEY=URL (an http(s) zip, downloaded and refreshed); "
                   "repeatable, and repeated with the same KEY it adds a feed to that city, named KEY/FEED=PATH or "
                   "after its file");
    app.add_option("-r,--realtime", f.realtime,
                   "live (GTFS-Realtime) source of a city as KEY=URL or KEY=PATH; KEY/FEED=... in a city of "
                   "several feeds; repeatable");
    app.add_option("-l,--listen", f.listen, "address and port to listen on (default 127.0.0.1:8443)");
    app.add_option("--tls-cert", f.tlsCert, "PEM certificate (default: a generated one for localhost)");
    app.add_option("--tls-key", f.tlsKey, "PEM private key belonging to --tls-cert");
    app.add_option("--now", f.now,
                   "start the clock at TIME: ISO 8601 with offset or Z; without offset the first "
                   "city's local time");
    app.add_flag("-v,--verbose", f.verbose, "log every request");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return f;
}

std::optional<ConfigError> readConfigFile(const std::string& path, Config& config) {
    toml::table t;
    try {
        t = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream where;
        where << e.source().begin;
        return ConfigError{"config " + path + ": " + std::string(e.description()) + " at " + where.str()};
    }
    config.listen = t["listen"].value_or(config.listen);
    config.tlsCert = t["tls_cert"].value_or(config.tlsCert);
    config.tlsKey = t["tls_key"].value_or(config.tlsKey);
    config.server.engine.maxPerLine = static_cast<int>(t["max_per_line"].value_or(std::int64_t{3}));
    if (config.server.engine.maxPerLine < 1) {
        return ConfigError{"config " + path + ": max_per_line must be at least 1"};
    }
    config.server.threads = static_cast<int>(t["threads"].value_or(std::int64_t{config.server.threads}));
    if (config.server.threads < 1 || config.server.threads > 256) {
        return ConfigError{"config " + path + ": threads must be 1..256"};
    }
    // Counts and sizes: the key, its range and where it goes.
    const std::tuple<const char*, std::int64_t, std::int64_t, std::size_t*> counts[] = {
        {"keep_alive_max_requests", 1, 1000000, &config.server.keepAliveMaxRequests},
        {"max_connections", 1, 1000000, &config.server.maxConnections},
        {"max_body_bytes", 1024, 16 * 1024 * 1024, &config.server.maxBody},
        {"max_header_bytes", 1024, 1024 * 1024, &config.server.maxHeaderBytes},
        {"max_header_fields", 8, 10000, &config.server.maxHeaderFields},
        {"feed_max_bytes", 1024, std::int64_t{1} << 40, &config.feeds.maxBytes}};
    for (const auto& [key, low, high, out] : counts) {
        const auto v = t[key].value_or(static_cast<std::int64_t>(*out));
        if (v < low || v > high) {
            return ConfigError{"config " + path + ": " + key + " must be " + std::to_string(low) + ".." +
                               std::to_string(high)};
        }
        *out = static_cast<std::size_t>(v);
    }
    // read_timeout is the older name of request_timeout, which wins when both are given.
    const std::pair<const char*, std::chrono::seconds*> durations[] = {
        {"read_timeout", &config.server.requestTimeout}, {"request_timeout", &config.server.requestTimeout},
        {"write_timeout", &config.server.writeTimeout},  {"idle_timeout", &config.server.idleTimeout},
        {"reload_check_interval", &config.reloadCheck},  {"realtime_interval", &config.realtime.interval},
        {"realtime_max_age", &config.realtime.maxAge},   {"feed_timeout", &config.feeds.timeout}};
    for (const auto& [key, out] : durations) {
        if (auto error = readSeconds(t, key, *out)) {
            return error;
        }
    }
    // A refresh of downloaded feeds may be as rare as once a year.
    if (const auto refresh = t["feed_refresh"].value<std::int64_t>()) {
        if (*refresh < 1 || *refresh > 366 * 86400) {
            return ConfigError{"config " + path + ": feed_refresh must be 1..31622400 seconds"};
        }
        config.feeds.refresh = std::chrono::seconds(*refresh);
    }
    if (const auto* cities = t["city"].as_array()) {
        for (const auto& node : *cities) {
            CityEntry e;
            if (auto error = readCity(node, path, e)) {
                return error;
            }
            config.cities.push_back(std::move(e));
        }
    }
    if (const auto* apps = t["versions"].as_table()) {
        for (const auto& [app, node] : *apps) {
            const auto* v = node.as_table();
            if (v == nullptr) {
                return ConfigError{"config " + path + ": [versions." + std::string(app.str()) + "] must be a table"};
            }
            config.server.versions[std::string(app.str())] = {(*v)["min_version"].value_or(std::string()),
                                                              (*v)["min_build"].value_or(std::int64_t{0})};
        }
    }
    return std::nullopt;
}

std::variant<std::pair<std::string, int>, ConfigError> splitListen(const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        return ConfigError{"bad --listen " + listen + " (want HOST:PORT)"};
    }
    std::string host = listen.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    int port = 0;
    try {
        port = std::stoi(listen.substr(colon + 1));
    } catch (const std::exception&) {
        port = -1;
    }
    if (port < 1 || port > 65535) {
        return ConfigError{"bad port in --listen " + listen};
    }
    return std::pair{host, port};
}

std::variant<Config, ConfigError> configure(const Flags& flags) {
    Config config;
    if (!flags.configPath.empty()) {
        if (auto error = readConfigFile(flags.configPath, config)) {
            return *error;
        }
    }
    const auto city = [&config](const std::string& key) {
        return std::find_if(config.cities.begin(), config.cities.end(),
                            [&](const CityEntry& e) { return e.city.key == key; });
    };
    // "KEY=VALUE" or "KEY/FEED=VALUE": the city, the feed (or ""), the value.
    const auto cityFeedValue = [](const std::string& text) -> std::optional<std::array<std::string, 3>> {
        const auto kv = keyValue(text);
        if (!kv) {
            return std::nullopt;
        }
        const auto slash = kv->first.find('/');
        if (slash == std::string::npos) {
            return std::array{kv->first, std::string(), kv->second};
        }
        if (slash == 0 || slash + 1 == kv->first.size()) {
            return std::nullopt;
        }
        return std::array{kv->first.substr(0, slash), kv->first.substr(slash + 1), kv->second};
    };
    // The first --feed of a city from the file replaces its feeds; further ones add feeds.
    std::vector<std::string> replaced;
    for (const auto& f : flags.feeds) {
        const auto parts = cityFeedValue(f);
        if (!parts) {
            // A URL's key stays out of the message.
            const auto eq = f.find('=');
            return ConfigError{
                "bad --feed " +
                (eq == std::string::npos ? f : f.substr(0, eq + 1) + realtime::shownLocation(f.substr(eq + 1))) +
                " (want KEY=PATH)"};
        }
        const auto& [key, feedKey, path] = *parts;
        auto it = city(key);
        if (it == config.cities.end()) {
            config.cities.push_back({{key, "", "", ""}, {}, {}});
            it = config.cities.end() - 1;
        } else if (std::find(replaced.begin(), replaced.end(), key) == replaced.end()) {
            it->feeds.clear();
        }
        replaced.push_back(key);
        it->feeds.push_back({path, feedKey, ""});
    }
    for (const auto& r : flags.realtime) {
        const auto parts = cityFeedValue(r);
        if (!parts) {
            return ConfigError{"bad --realtime " + r + " (want KEY=URL or KEY=PATH)"};
        }
        const auto it = city((*parts)[0]);
        if (it == config.cities.end()) {
            return ConfigError{"--realtime " + r.substr(0, r.find('=') + 1) + realtime::shownLocation((*parts)[2]) +
                               ": no city with key " + (*parts)[0]};
        }
        it->realtime.push_back({(*parts)[2], (*parts)[1]});
    }
    for (auto& e : config.cities) {
        if (auto error = checkFeeds(e)) {
            return *error;
        }
    }
    // A configuration file without a city is a service waiting for one (a fresh install);
    // a command line without either is a mistake.
    if (config.cities.empty() && flags.configPath.empty()) {
        return ConfigError{"no city to serve: give --feed KEY=PATH or a --config with [[city]] entries"};
    }
    if (!flags.listen.empty()) {
        config.listen = flags.listen;
    }
    if (!flags.tlsCert.empty() || !flags.tlsKey.empty()) {
        config.tlsCert = flags.tlsCert;
        config.tlsKey = flags.tlsKey;
    }
    if (config.tlsCert.empty() != config.tlsKey.empty()) {
        return ConfigError{"give both --tls-cert and --tls-key, or neither"};
    }
    auto address = splitListen(config.listen);
    if (auto* error = std::get_if<ConfigError>(&address)) {
        return *error;
    }
    std::tie(config.host, config.port) = std::get<std::pair<std::string, int>>(address);
    return config;
}

std::vector<realtime::SourceConfig> liveSources(const Config& config) {
    std::vector<realtime::SourceConfig> out;
    for (const auto& e : config.cities) {
        for (const auto& r : e.realtime) {
            out.push_back({e.feeds.size() > 1 ? e.city.key + "/" + r.feed : e.city.key, r.location});
        }
    }
    return out;
}

std::optional<std::chrono::sys_seconds> parseNow(const std::string& text, const date::time_zone* zone) {
    for (const char* format : {"%FT%T%Ez", "%FT%T%z", "%F %T%Ez"}) {
        std::istringstream in(text);
        date::sys_seconds t;
        in >> date::parse(format, t);
        if (!in.fail() && in.peek() == EOF) {
            return t;
        }
    }
    for (const char* format : {"%FT%TZ", "%FT%T", "%F %T"}) {
        std::istringstream in(text);
        date::local_seconds t;
        in >> date::parse(format, t);
        if (!in.fail() && in.peek() == EOF) {
            if (std::string(format).back() == 'Z') {
                return std::chrono::sys_seconds(t.time_since_epoch());
            }
            if (zone == nullptr) {  // no city, so no local time to read it in
                return std::nullopt;
            }
            return date::floor<std::chrono::seconds>(zone->to_sys(t, date::choose::earliest));
        }
    }
    return std::nullopt;
}

std::optional<ConfigError> useDefaultCertificate(Config& config) {
    if (!config.tlsCert.empty()) {
        return std::nullopt;
    }
    const std::string home = velmo::dataHome();
    if (home.empty()) {
        return ConfigError{"neither XDG_DATA_HOME nor HOME is set; give --tls-cert and --tls-key"};
    }
    const fs::path dir = fs::path(home) / "tarvod" / "tls";
    const fs::path cert = dir / "cert.pem";
    const fs::path key = dir / "key.pem";
    std::error_code ec;
    const bool present = fs::exists(cert, ec) || fs::exists(key, ec);
    if (present) {
        // A generated pair that cannot serve (cut short by a full disk, a key that does not match)
        // is set aside rather than left to stop every later start.
        if (auto why = api::unusableCertificate(cert.string(), key.string())) {
            const std::string stamp = std::to_string(
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
                    .count());
            for (const auto& file : {cert, key}) {
                fs::rename(file, fs::path(file).concat(".unusable-" + stamp), ec);
            }
            spdlog::warn(
                "the generated certificate cannot be used ({}): moved aside as *.unusable-{}, making a new one", *why,
                stamp);
        }
    }
    if (!fs::exists(cert, ec) || !fs::exists(key, ec)) {
        fs::create_directories(dir, ec);
        fs::permissions(dir, fs::perms::owner_all, ec);
        try {
            api::writeSelfSignedCertificate(cert.string(), key.string());
        } catch (const std::exception& e) {
            return ConfigError{e.what()};
        }
        spdlog::info("created a self-signed certificate for localhost: {}", cert.string());
    }
    config.tlsCert = cert.string();
    config.tlsKey = key.string();
    return std::nullopt;
}

}  // namespace velmo::tarvod
