#pragma once
// The cities tarvod serves: loads their feeds (in parallel, a city of several feeds merged into
// one), hands out the current snapshot, and reloads a city when a file of one of its feeds
// changes or when asked to (SIGHUP). A city that fails to reload is logged and keeps serving its
// previous data. Feeds given as URLs are read from their kept copies (FeedDownload), fetched
// first when there is none, and refreshed on a thread of their own.

#include "server/SharedSlot.h"
#include "server/api/Metrics.h"
#include "server/api/FeedStatus.h"
#include "server/app/Config.h"
#include "server/app/FeedDownload.h"
#include "server/query/Snapshot.h"
#include "server/realtime/Poller.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace velmo::tarvod {

class CityRegistry {
public:
    explicit CityRegistry(std::vector<CityEntry> entries, FeedLimits feeds = {});
    ~CityRegistry();
    CityRegistry(const CityRegistry&) = delete;
    CityRegistry& operator=(const CityRegistry&) = delete;

    // Loads every city, its feeds on as many threads as there are cores; throws
    // std::runtime_error naming the city, its feed and the cause of the first failure (in the
    // order of the configuration). A city whose URL feed has no kept copy and cannot be
    // downloaded (or loaded) is logged and left out while others load; it comes in when a later
    // download succeeds. Throws when no city is left.
    void loadAll();
    // Reloads the cities of which a feed file changed since it was last read (every city when
    // `all`), from the calling thread.
    void reload(bool all);

    // Checks the feed files every `interval` on a background thread, and refreshes the URL feeds
    // on another, until stopWatching(), which does not wait for a download under way.
    void startWatching(std::chrono::seconds interval);
    // Has the background thread reload every feed now (SIGHUP).
    void reloadAllSoon();
    void stopWatching();

    // What requests read; a reload swaps it whole, readers keep the one they took.
    [[nodiscard]] std::shared_ptr<const query::Snapshot> snapshot() const { return current_.load(); }
    // The city with that key as loaded now, for the live sources: "<city>" for a city of one
    // feed, "<city>/<feed>" for one feed of a city of several (see liveSources).
    [[nodiscard]] std::optional<realtime::CityTarget> target(const std::string& key) const;
    // Where feed load times go from now on (the loads so far are handed over too).
    void reportTo(api::Metrics& metrics);
    // Every feed of every city, loaded or not, in the order of the configuration.
    [[nodiscard]] std::vector<api::FeedStatus> feedStatus() const;

private:
    struct Loaded {
        std::shared_ptr<const query::City> city;  // or
        std::string error;
        std::vector<std::filesystem::file_time_type> mtimes;  // of its feeds as they were read
    };
    // A feed read from somewhere else than its usual file: a download being checked.
    using Overrides = std::map<std::pair<std::size_t, std::size_t>, std::filesystem::path>;
    // The state of one feed beyond its configuration.
    struct FeedState {
        std::unique_ptr<FeedDownload> download;  // for a URL
        std::string lastError;
        std::chrono::steady_clock::time_point nextCheck;
    };

    // Loads those cities, every feed of them on its own thread as far as cores allow.
    std::vector<Loaded> load(const std::vector<std::size_t>& cities, const Overrides& overrides = {});
    // The file a feed is read from: its path, or the kept copy of a URL feed.
    [[nodiscard]] std::string diskPath(std::size_t city, std::size_t feed) const;
    [[nodiscard]] std::vector<std::filesystem::file_time_type> mtimesOf(std::size_t city) const;
    // Puts a city into `next` in the place its configuration gives it, replacing its old data.
    void install(query::Snapshot& next, std::size_t city, std::shared_ptr<const query::City> loaded) const;
    // Takes a finished download of that feed in: a fresh one is loaded and, if it loads, kept.
    void takeDownload(std::size_t city, std::size_t feed, const FeedDownload::Result& result);
    void setError(std::size_t city, std::size_t feed, std::string error);
    void refreshLoop();

    const std::vector<CityEntry> entries_;
    const FeedLimits limits_;
    std::vector<std::vector<FeedState>> feeds_;  // per city, per feed; lastError under statusMutex_
    mutable std::mutex statusMutex_;
    const std::vector<std::shared_ptr<realtime::Live>> live_;  // per city, kept across reloads
    // Per city of several feeds, the slot of each feed's live sources (feeding live_).
    std::vector<std::vector<std::shared_ptr<realtime::Live>>> feedLive_;
    std::vector<std::vector<std::filesystem::file_time_type>> mtimes_;  // of each feed when last read
    std::mutex reloading_;                                              // one load or reload at a time
    SharedSlot<const query::Snapshot> current_;

    std::mutex metricsMutex_;
    api::Metrics* metrics_ = nullptr;
    std::map<std::string, std::chrono::duration<double>> loadTimes_;

    std::mutex watchMutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool reloadAll_ = false;
    std::thread watcher_;

    std::mutex refreshMutex_;
    std::condition_variable refreshWake_;
    bool refreshStopping_ = false;
    boost::asio::io_context* downloading_ = nullptr;  // the refresher's, while a download runs
    std::thread refresher_;
};

}  // namespace velmo::tarvod
