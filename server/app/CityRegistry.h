#pragma once
// The cities tarvod serves: loads their feeds (in parallel, a city of several feeds merged into
// one), hands out the current snapshot, and reloads a city when a file of one of its feeds
// changes or when asked to (SIGHUP). A city that fails to reload is logged and keeps serving its
// previous data.

#include "server/SharedSlot.h"
#include "server/api/Metrics.h"
#include "server/app/Config.h"
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
    explicit CityRegistry(std::vector<CityEntry> entries);
    ~CityRegistry();
    CityRegistry(const CityRegistry&) = delete;
    CityRegistry& operator=(const CityRegistry&) = delete;

    // Loads every city, its feeds on as many threads as there are cores; throws
    // std::runtime_error naming the city, its feed and the cause of the first failure (in the
    // order of the configuration).
    void loadAll();
    // Reloads the cities of which a feed file changed since it was last read (every city when
    // `all`), from the calling thread.
    void reload(bool all);

    // Checks the feed files every `interval` on a background thread, until stopWatching().
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

private:
    struct Loaded {
        std::shared_ptr<const query::City> city;  // or
        std::string error;
        std::vector<std::filesystem::file_time_type> mtimes;  // of its feeds as they were read
    };
    // Loads those cities, every feed of them on its own thread as far as cores allow.
    std::vector<Loaded> load(const std::vector<std::size_t>& cities);

    const std::vector<CityEntry> entries_;
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
};

}  // namespace velmo::tarvod
