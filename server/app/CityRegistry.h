#pragma once
// The cities tarvod serves: loads their feeds, hands out the current snapshot, and reloads a
// feed when its file changes or when asked to (SIGHUP). A feed that fails to reload is logged
// and the city keeps serving its previous data.

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

    // Loads every city; throws std::runtime_error naming the city, its feed and the cause on
    // the first failure.
    void loadAll();
    // Reloads the cities whose feed file changed since it was last read (every city when
    // `all`), on the calling thread.
    void reload(bool all);

    // Checks the feed files every `interval` on a background thread, until stopWatching().
    void startWatching(std::chrono::seconds interval);
    // Has the background thread reload every feed now (SIGHUP).
    void reloadAllSoon();
    void stopWatching();

    // What requests read; a reload swaps it whole, readers keep the one they took.
    [[nodiscard]] std::shared_ptr<const query::Snapshot> snapshot() const { return current_.load(); }
    // The city with that key as loaded now, for the live sources.
    [[nodiscard]] std::optional<realtime::CityTarget> target(const std::string& key) const;
    // Where feed load times go from now on (the loads so far are handed over too).
    void reportTo(api::Metrics& metrics);

private:
    std::shared_ptr<const query::City> load(std::size_t i);

    const std::vector<CityEntry> entries_;
    const std::vector<std::shared_ptr<realtime::Live>> live_;  // per city, kept across reloads
    std::vector<std::filesystem::file_time_type> mtimes_;      // of each feed when last read
    std::mutex reloading_;                                     // one load or reload at a time
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
