#include "server/app/CityRegistry.h"

#include "platform/text/SafeText.h"
#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"

#include <date/date.h>
#include <spdlog/spdlog.h>

#include <stdexcept>

namespace velmo::tarvod {

namespace {

namespace fs = std::filesystem;

fs::file_time_type mtime(const std::string& path) {
    std::error_code ec;
    return fs::last_write_time(path, ec);
}

std::vector<std::shared_ptr<realtime::Live>> liveSlots(std::size_t n) {
    std::vector<std::shared_ptr<realtime::Live>> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::make_shared<realtime::Live>());
    }
    return out;
}

}  // namespace

CityRegistry::CityRegistry(std::vector<CityEntry> entries)
    : entries_(std::move(entries)), live_(liveSlots(entries_.size())), mtimes_(entries_.size()) {}

CityRegistry::~CityRegistry() { stopWatching(); }

std::optional<realtime::CityTarget> CityRegistry::target(const std::string& key) const {
    const auto snapshot = current_.load();
    for (std::size_t i = 0; snapshot && i < snapshot->cities.size(); ++i) {
        const auto& c = snapshot->cities[i];
        if (c->key == key) {
            return realtime::CityTarget{c->feed, c->zone, c->realtime};
        }
    }
    return std::nullopt;
}

void CityRegistry::reportTo(api::Metrics& metrics) {
    const std::lock_guard lock(metricsMutex_);
    metrics_ = &metrics;
    for (const auto& [key, took] : loadTimes_) {
        metrics.feedLoaded(key, took);
    }
}

void CityRegistry::loadAll() {
    const std::lock_guard lock(reloading_);
    auto snapshot = std::make_shared<query::Snapshot>();
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        snapshot->cities.push_back(load(i));
    }
    current_.store(std::move(snapshot));
}

void CityRegistry::reload(bool all) {
    const std::lock_guard lock(reloading_);
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
                          escapeControls(e.what()));
            mtimes_[i] = mtime(entries_[i].feed);  // do not retry until the file changes again
        }
    }
    if (changed) {
        current_.store(std::move(next));
    }
}

std::shared_ptr<const query::City> CityRegistry::load(std::size_t i) {
    const CityEntry& e = entries_[i];
    const auto stamp = mtime(e.feed);
    const auto start = std::chrono::steady_clock::now();
    try {
        const auto dir = gtfs::openDirectory(e.feed);
        auto city = query::City::build(e.city, gtfs::loadFeed(*dir), live_[i]);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        {
            const std::lock_guard lock(metricsMutex_);
            loadTimes_[e.city.key] = took;
            if (metrics_ != nullptr) {
                metrics_->feedLoaded(e.city.key, took);
            }
        }
        spdlog::info("loaded {} ({}) from {} in {:.1f} s: {} stops, {} trips, service {} to {}", e.city.key,
                     escapeControls(city->name), e.feed, took.count(), city->feed->stops.size(),
                     city->feed->trips.size(), date::format("%F", city->feed->calendar.firstDay()),
                     date::format("%F", city->feed->calendar.lastDay()));
        mtimes_[i] = stamp;
        return city;
    } catch (const std::exception& ex) {
        throw std::runtime_error("city " + e.city.key + ", feed " + e.feed + ": " + ex.what());
    }
}

void CityRegistry::startWatching(std::chrono::seconds interval) {
    watcher_ = std::thread([this, interval] {
        std::unique_lock lock(watchMutex_);
        while (!stopping_) {
            wake_.wait_for(lock, interval, [this] { return stopping_ || reloadAll_; });
            if (stopping_) {
                break;
            }
            const bool all = std::exchange(reloadAll_, false);
            lock.unlock();
            reload(all);
            lock.lock();
        }
    });
}

void CityRegistry::reloadAllSoon() {
    const std::lock_guard lock(watchMutex_);
    reloadAll_ = true;
    wake_.notify_all();
}

void CityRegistry::stopWatching() {
    {
        const std::lock_guard lock(watchMutex_);
        stopping_ = true;
        wake_.notify_all();
    }
    if (watcher_.joinable()) {
        watcher_.join();
    }
}

}  // namespace velmo::tarvod
