#pragma once
// tarvod's configuration: the TOML file and the command-line flags merged into one checked
// whole. Every problem comes back as the message tarvod prints before it exits with 1.

#include "server/api/Server.h"
#include "server/app/FeedDownload.h"
#include "server/query/Snapshot.h"
#include "server/realtime/Poller.h"

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velmo::tarvod {

// One GTFS feed of a city.
struct FeedEntry {
    std::string path;   // a zip or folder, or the http(s) URL of a zip (see FeedDownload)
    std::string key;    // in a city of several feeds its ids read "<key>:<id>"; configure() fills a default
    std::string inner;  // the folder inside `path` that holds the feed; empty: the one found
    bool operator==(const FeedEntry&) const = default;
};

// A live (GTFS-Realtime) source: an http(s) URL or a file path, and in a city of several feeds
// the key of the feed whose ids it uses.
struct LiveEntry {
    std::string location;
    std::string feed;
    bool operator==(const LiveEntry&) const = default;
};

struct CityEntry {
    query::CityConfig city;
    std::vector<FeedEntry> feeds;
    std::vector<LiveEntry> realtime;
};

struct Config {
    std::vector<CityEntry> cities;
    std::string listen = "127.0.0.1:8443";
    std::string host;  // `listen` split, filled by configure()
    int port = 0;
    std::string tlsCert;
    std::string tlsKey;
    std::chrono::seconds reloadCheck{30};
    realtime::PollerOptions realtime;
    api::ServerOptions server;
    FeedLimits feeds;  // of the feeds given as URLs
};

// The command line as given; empty strings and lists where a flag is absent.
struct Flags {
    std::string configPath;
    std::vector<std::string> feeds;     // KEY=PATH or KEY/FEED=PATH; PATH may be an http(s) URL
    std::vector<std::string> realtime;  // KEY=URL, KEY=PATH, or KEY/FEED= either
    std::string listen;
    std::string tlsCert;
    std::string tlsKey;
    std::string now;
    bool verbose = false;
};

struct ConfigError {
    std::string message;
};

// Reads the flags; for --help or a bad command line, the exit status instead (CLI11 has
// printed what belongs on the terminal).
std::variant<Flags, int> parseCommandLine(int argc, const char* const* argv);

// The configuration file, if the flags name one, with the flags laid over it and checked.
std::variant<Config, ConfigError> configure(const Flags& flags);

// The live sources to poll. A source of one feed of a city of several is polled under
// "<city>/<feed>", the name CityRegistry::target knows it by.
std::vector<realtime::SourceConfig> liveSources(const Config& config);

// Reads a TOML configuration file on top of the defaults in `config`.
std::optional<ConfigError> readConfigFile(const std::string& path, Config& config);

// "HOST:PORT", the host possibly in brackets ("[::1]:8443").
std::variant<std::pair<std::string, int>, ConfigError> splitListen(const std::string& listen);

// The --now text: ISO 8601 with an offset or Z; without either, local time in `zone`.
std::optional<std::chrono::sys_seconds> parseNow(const std::string& text, const date::time_zone* zone);

// Fills in the generated localhost certificate under $XDG_DATA_HOME/tarvod/tls/ (created on
// first use, reused afterwards) when the configuration names none.
std::optional<ConfigError> useDefaultCertificate(Config& config);

}  // namespace velmo::tarvod
