// tarvod: the departures service. Loads the configured cities' GTFS feeds and
// answers the departures client over HTTPS until SIGTERM or SIGINT; SIGHUP or a
// changed feed file reloads feeds in the background.

#include <CLI/CLI.hpp>
// GCC 12 sees uninitialised fields in date::parse where there are none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <date/date.h>
#include <date/tz.h>
#pragma GCC diagnostic pop

#include "server/api/Server.h"
#include "server/api/Tls.h"
#include "server/gtfs/Loader.h"
#include "server/query/Snapshot.h"
#include "server/realtime/Poller.h"
#include <spdlog/spdlog.h>
#include <toml++/toml.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace velmo;
using namespace std::chrono_literals;

namespace {

struct CityEntry {
    query::CityConfig city;
    std::string feed;
    std::vector<std::string> realtime;  // live sources: http(s) URLs or file paths
};

struct Config {
    std::vector<CityEntry> cities;
    std::string listen = "127.0.0.1:8443";
    std::string tlsCert;
    std::string tlsKey;
    std::chrono::seconds reloadCheck{30};
    realtime::PollerOptions realtime;
    api::ServerOptions server;
};

[[noreturn]] void fail(const std::string& message) {
    std::cerr << "tarvod: " << message << "\n";
    std::exit(1);
}

std::chrono::seconds seconds(const toml::table& t, const char* key, std::chrono::seconds fallback) {
    const auto v = t[key].value<std::int64_t>();
    if (v && (*v < 1 || *v > 3600)) {
        fail(std::string("config: ") + key + " must be 1..3600 seconds");
    }
    return v ? std::chrono::seconds(*v) : fallback;
}

void readConfigFile(const std::string& path, Config& config) {
    toml::table t;
    try {
        t = toml::parse_file(path);
    } catch (const toml::parse_error& e) {
        std::ostringstream where;
        where << e.source().begin;
        fail("config " + path + ": " + std::string(e.description()) + " at " + where.str());
    }
    config.listen = t["listen"].value_or(config.listen);
    config.tlsCert = t["tls_cert"].value_or(config.tlsCert);
    config.tlsKey = t["tls_key"].value_or(config.tlsKey);
    config.server.engine.maxPerLine = static_cast<int>(t["max_per_line"].value_or(std::int64_t{3}));
    if (config.server.engine.maxPerLine < 1) {
        fail("config " + path + ": max_per_line must be at least 1");
    }
    config.server.threads = static_cast<int>(t["threads"].value_or(std::int64_t{config.server.threads}));
    if (config.server.threads < 1 || config.server.threads > 256) {
        fail("config " + path + ": threads must be 1..256");
    }
    const auto keepAlive =
        t["keep_alive_max_requests"].value_or(static_cast<std::int64_t>(config.server.keepAliveMaxRequests));
    if (keepAlive < 1 || keepAlive > 1000000) {
        fail("config " + path + ": keep_alive_max_requests must be 1..1000000");
    }
    config.server.keepAliveMaxRequests = static_cast<std::size_t>(keepAlive);
    config.server.readTimeout = seconds(t, "read_timeout", config.server.readTimeout);
    config.server.writeTimeout = seconds(t, "write_timeout", config.server.writeTimeout);
    config.server.idleTimeout = seconds(t, "idle_timeout", config.server.idleTimeout);
    config.reloadCheck = seconds(t, "reload_check_interval", config.reloadCheck);
    config.realtime.interval = seconds(t, "realtime_interval", config.realtime.interval);
    config.realtime.maxAge = seconds(t, "realtime_max_age", config.realtime.maxAge);
    if (const auto* cities = t["city"].as_array()) {
        for (const auto& node : *cities) {
            const auto* c = node.as_table();
            if (c == nullptr) {
                fail("config " + path + ": [[city]] entries must be tables");
            }
            CityEntry e;
            e.city.key = (*c)["key"].value_or(std::string());
            e.city.name = (*c)["name"].value_or(std::string());
            e.city.url = (*c)["url"].value_or(std::string());
            e.city.nightPattern = (*c)["night_pattern"].value_or(std::string());
            e.feed = (*c)["feed"].value_or(std::string());
            if (const auto one = (*c)["realtime"].value<std::string>()) {
                e.realtime.push_back(*one);
            } else if (const auto* many = (*c)["realtime"].as_array()) {
                for (const auto& r : *many) {
                    const auto v = r.value<std::string>();
                    if (!v || v->empty()) {
                        fail("config " + path + ": realtime must be a string or a list of strings");
                    }
                    e.realtime.push_back(*v);
                }
            } else if ((*c)["realtime"]) {
                fail("config " + path + ": realtime must be a string or a list of strings");
            }
            if (e.city.key.empty() || e.feed.empty()) {
                fail("config " + path + ": every [[city]] needs key and feed");
            }
            config.cities.push_back(std::move(e));
        }
    }
    if (const auto* apps = t["versions"].as_table()) {
        for (const auto& [app, node] : *apps) {
            const auto* v = node.as_table();
            if (v == nullptr) {
                fail("config " + path + ": [versions." + std::string(app.str()) + "] must be a table");
            }
            config.server.versions[std::string(app.str())] = {(*v)["min_version"].value_or(std::string()),
                                                              (*v)["min_build"].value_or(std::int64_t{0})};
        }
    }
}

std::pair<std::string, int> splitListen(const std::string& listen) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos) {
        fail("bad --listen " + listen + " (want HOST:PORT)");
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
        fail("bad port in --listen " + listen);
    }
    return {host, port};
}

// ISO 8601 with an offset or Z; without one, local time in `zone`.
std::optional<query::TimePoint> parseNow(const std::string& text, const date::time_zone* zone) {
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
                return query::TimePoint(t.time_since_epoch());
            }
            return date::floor<std::chrono::seconds>(zone->to_sys(t, date::choose::earliest));
        }
    }
    return std::nullopt;
}

std::string dataHome() {
    if (const char* x = std::getenv("XDG_DATA_HOME"); x != nullptr && *x == '/') {
        return x;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr) {
        fail("neither XDG_DATA_HOME nor HOME is set; give --tls-cert and --tls-key");
    }
    return std::string(home) + "/.local/share";
}

// The generated localhost certificate, created on first start and reused.
std::pair<std::string, std::string> defaultCertificate() {
    const fs::path dir = fs::path(dataHome()) / "tarvod" / "tls";
    const fs::path cert = dir / "cert.pem";
    const fs::path key = dir / "key.pem";
    if (!fs::exists(cert) || !fs::exists(key)) {
        std::error_code ec;
        fs::create_directories(dir, ec);
        fs::permissions(dir, fs::perms::owner_all, ec);
        try {
            api::writeSelfSignedCertificate(cert.string(), key.string());
        } catch (const std::exception& e) {
            fail(e.what());
        }
        spdlog::info("created a self-signed certificate for localhost: {}", cert.string());
    }
    return {cert.string(), key.string()};
}

// Holds the current snapshot; readers take a reference, reloads swap it whole.
class Cities {
public:
    explicit Cities(std::vector<CityEntry> entries) : entries_(std::move(entries)) {
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            live_.push_back(std::make_shared<realtime::Live>());
        }
    }

    // The city with that key as loaded now, for the live sources.
    std::optional<realtime::CityTarget> target(const std::string& key) const {
        const auto snapshot = current_.load();
        for (std::size_t i = 0; snapshot && i < snapshot->cities.size(); ++i) {
            const auto& c = snapshot->cities[i];
            if (c->key == key) {
                return realtime::CityTarget{c->feed, c->zone, c->realtime};
            }
        }
        return std::nullopt;
    }

    // Where feed load times go from now on (the first loads are handed over too).
    void reportTo(api::Metrics& metrics) {
        const std::lock_guard lock(mutex_);
        metrics_ = &metrics;
        for (const auto& [key, took] : loadTimes_) {
            metrics.feedLoaded(key, took);
        }
    }

    // Loads every city; throws with the city and the cause on the first failure.
    void loadAll() {
        auto snapshot = std::make_shared<query::Snapshot>();
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            snapshot->cities.push_back(load(i));
        }
        current_.store(std::move(snapshot));
    }

    // Reloads the cities whose feed changed (or all when forced); a feed that
    // fails to load is logged and the city keeps its old data.
    void reload(bool all) {
        auto next = std::make_shared<query::Snapshot>(*current_.load());
        bool changed = false;
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            if (!all && mtime(entries_[i].feed) == mtimes_[i]) {
                continue;
            }
            try {
                next->cities[i] = load(i);
                changed = true;
            } catch (const std::exception& e) {
                spdlog::error("reload of {} failed, the previous feed keeps serving: {}", entries_[i].city.key,
                              e.what());
                mtimes_[i] = mtime(entries_[i].feed);  // do not retry until the file changes again
            }
        }
        if (changed) {
            current_.store(std::move(next));
        }
    }

    std::shared_ptr<const query::Snapshot> snapshot() const { return current_.load(); }

private:
    static fs::file_time_type mtime(const std::string& path) {
        std::error_code ec;
        return fs::last_write_time(path, ec);
    }

    std::shared_ptr<const query::City> load(std::size_t i) {
        const CityEntry& e = entries_[i];
        mtimes_.resize(entries_.size());
        const auto stamp = mtime(e.feed);
        const auto start = std::chrono::steady_clock::now();
        try {
            const auto dir = gtfs::openDirectory(e.feed);
            auto city = query::City::build(e.city, gtfs::loadFeed(*dir), live_[i]);
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            {
                const std::lock_guard lock(mutex_);
                loadTimes_[e.city.key] = took;
                if (metrics_ != nullptr) {
                    metrics_->feedLoaded(e.city.key, took);
                }
            }
            spdlog::info("loaded {} ({}) from {} in {:.1f} s: {} stops, {} trips, service {} to {}", e.city.key,
                         city->name, e.feed, took.count(), city->feed->stops.size(), city->feed->trips.size(),
                         date::format("%F", city->feed->calendar.firstDay()),
                         date::format("%F", city->feed->calendar.lastDay()));
            mtimes_[i] = stamp;
            return city;
        } catch (const std::exception& ex) {
            throw std::runtime_error("city " + e.city.key + ", feed " + e.feed + ": " + ex.what());
        }
    }

    std::vector<CityEntry> entries_;
    std::vector<fs::file_time_type> mtimes_;
    std::vector<std::shared_ptr<realtime::Live>> live_;  // per city, kept across reloads
    std::mutex mutex_;
    api::Metrics* metrics_ = nullptr;
    std::map<std::string, std::chrono::duration<double>> loadTimes_;
    std::atomic<std::shared_ptr<const query::Snapshot>> current_;
};

}  // namespace

int main(int argc, char** argv) {
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
    std::string configPath;
    std::vector<std::string> feeds;
    std::vector<std::string> live;
    std::string listen;
    std::string tlsCert;
    std::string tlsKey;
    std::string now;
    bool verbose = false;
    app.add_option("-c,--config", configPath, "TOML configuration file")->check(CLI::ExistingFile);
    app.add_option("-f,--feed", feeds, "city feed as KEY=PATH (zip or folder); repeatable");
    app.add_option("-r,--realtime", live, "live (GTFS-Realtime) source of a city as KEY=URL or KEY=PATH; repeatable");
    app.add_option("-l,--listen", listen, "address and port to listen on (default 127.0.0.1:8443)");
    app.add_option("--tls-cert", tlsCert, "PEM certificate (default: a generated one for localhost)");
    app.add_option("--tls-key", tlsKey, "PEM private key belonging to --tls-cert");
    app.add_option("--now", now,
                   "start the clock at TIME: ISO 8601 with offset or Z; without offset the first "
                   "city's local time");
    app.add_flag("-v,--verbose", verbose, "log every request");
    CLI11_PARSE(app, argc, argv);

    spdlog::set_level(verbose ? spdlog::level::debug : spdlog::level::info);
    Config config;
    if (!configPath.empty()) {
        readConfigFile(configPath, config);
    }
    for (const auto& f : feeds) {
        const auto eq = f.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == f.size()) {
            fail("bad --feed " + f + " (want KEY=PATH)");
        }
        const std::string key = f.substr(0, eq);
        auto it = std::find_if(config.cities.begin(), config.cities.end(),
                               [&](const CityEntry& e) { return e.city.key == key; });
        if (it == config.cities.end()) {
            config.cities.push_back({{key, "", "", ""}, f.substr(eq + 1), {}});
        } else {
            it->feed = f.substr(eq + 1);
        }
    }
    for (const auto& r : live) {
        const auto eq = r.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == r.size()) {
            fail("bad --realtime " + r + " (want KEY=URL or KEY=PATH)");
        }
        auto it = std::find_if(config.cities.begin(), config.cities.end(),
                               [&](const CityEntry& e) { return e.city.key == r.substr(0, eq); });
        if (it == config.cities.end()) {
            fail("--realtime " + r + ": no city with key " + r.substr(0, eq));
        }
        it->realtime.push_back(r.substr(eq + 1));
    }
    if (config.cities.empty()) {
        fail("no city to serve: give --feed KEY=PATH or a --config with [[city]] entries");
    }
    if (!listen.empty()) {
        config.listen = listen;
    }
    if (!tlsCert.empty() || !tlsKey.empty()) {
        config.tlsCert = tlsCert;
        config.tlsKey = tlsKey;
    }
    if (config.tlsCert.empty() != config.tlsKey.empty()) {
        fail("give both --tls-cert and --tls-key, or neither");
    }
    const auto [host, port] = splitListen(config.listen);

    // Signals are taken by one thread with sigwait; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto cities = std::make_shared<Cities>(config.cities);
    try {
        cities->loadAll();
    } catch (const std::exception& e) {
        fail(e.what());
    }

    std::chrono::seconds clockOffset{0};
    if (!now.empty()) {
        const auto start = parseNow(now, cities->snapshot()->cities.front()->zone);
        if (!start) {
            fail("bad --now " + now + " (want e.g. 2025-03-14T08:00:00+01:00)");
        }
        clockOffset = *start - date::floor<std::chrono::seconds>(std::chrono::system_clock::now());
        spdlog::info("clock starts at {}", date::format("%FT%TZ", *start));
    }
    if (config.tlsCert.empty()) {
        std::tie(config.tlsCert, config.tlsKey) = defaultCertificate();
    }
    config.server.certPath = config.tlsCert;
    config.server.keyPath = config.tlsKey;

    const auto clock = [clockOffset] {
        return date::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + clockOffset;
    };
    std::vector<realtime::SourceConfig> sources;
    for (const auto& e : config.cities) {
        for (const auto& r : e.realtime) {
            sources.push_back({e.city.key, r});
        }
    }
    // Live sources are polled and parsed on their own thread, off the request path.
    realtime::Poller poller(
        sources, config.realtime, [cities](const std::string& key) { return cities->target(key); }, clock);
    if (!sources.empty()) {
        config.server.realtimeStatus = [&poller] { return poller.status(); };
    }

    std::unique_ptr<api::Server> server;
    try {
        server = std::make_unique<api::Server>(
            config.server, [cities] { return cities->snapshot(); }, clock);
    } catch (const std::exception& e) {
        fail(e.what());
    }
    cities->reportTo(server->metrics());
    if (server->bind(host, port) < 0) {
        fail("cannot listen on " + config.listen);
    }

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    bool reloadAll = false;
    std::thread reloader([&] {
        std::unique_lock lock(mutex);
        while (!stopping) {
            wake.wait_for(lock, config.reloadCheck, [&] { return stopping || reloadAll; });
            if (stopping) {
                break;
            }
            const bool all = std::exchange(reloadAll, false);
            lock.unlock();
            cities->reload(all);
            lock.lock();
        }
    });
    std::thread signalWaiter([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0) {
                continue;
            }
            if (sig == SIGHUP) {
                spdlog::info("SIGHUP: reloading feeds");
                const std::lock_guard lock(mutex);
                reloadAll = true;
                wake.notify_all();
                continue;
            }
            spdlog::info("stopping");
            {
                const std::lock_guard lock(mutex);
                stopping = true;
                wake.notify_all();
            }
            server->stop();
            return;
        }
    });

    poller.start();
    spdlog::info("listening on https://{}:{}/ (certificate {})", host, port, config.tlsCert);
    const bool served = server->listen();
    {
        // listen() may also end on its own (socket failure): let the helpers go.
        const std::lock_guard lock(mutex);
        if (!stopping) {
            stopping = true;
            wake.notify_all();
            pthread_kill(signalWaiter.native_handle(), SIGTERM);
        }
    }
    reloader.join();
    signalWaiter.join();
    poller.stop();
    if (!served) {
        spdlog::error("serving on {} failed", config.listen);
        return 1;
    }
    return 0;
}
