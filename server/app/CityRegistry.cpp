#include "server/app/CityRegistry.h"

#include "platform/text/SafeText.h"
#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/gtfs/Merge.h"

#include <date/date.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <functional>
#include <numeric>
#include <stdexcept>

namespace velmo::tarvod {

namespace {

namespace fs = std::filesystem;
using Seconds = std::chrono::duration<double>;

fs::file_time_type mtime(const std::string& path) {
    std::error_code ec;
    return fs::last_write_time(path, ec);
}

std::vector<fs::file_time_type> mtimesOf(const CityEntry& e) {
    std::vector<fs::file_time_type> out;
    for (const auto& f : e.feeds) {
        out.push_back(mtime(f.path));
    }
    return out;
}

std::vector<std::shared_ptr<realtime::Live>> liveSlots(std::size_t n) {
    std::vector<std::shared_ptr<realtime::Live>> out;
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(std::make_shared<realtime::Live>());
    }
    return out;
}

// "city KEY, feed PATH", or with the feed's key in a city of several.
std::string feedName(const CityEntry& e, std::size_t f) {
    const auto& feed = e.feeds[f];
    return "city " + e.city.key + ", feed " + (e.feeds.size() > 1 ? feed.key + " (" + feed.path + ")" : feed.path);
}

// Runs job(0) .. job(n - 1) on up to one thread per core; the calling thread is one of them.
void inParallel(std::size_t n, const std::function<void(std::size_t)>& job) {
    std::atomic<std::size_t> next{0};
    const auto work = [&] {
        for (std::size_t i = next++; i < n; i = next++) {
            job(i);
        }
    };
    const std::size_t threads = std::min<std::size_t>(n, std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::jthread> helpers;
    for (std::size_t t = 1; t < threads; ++t) {
        helpers.emplace_back(work);
    }
    work();
}

}  // namespace

CityRegistry::CityRegistry(std::vector<CityEntry> entries)
    : entries_(std::move(entries)), live_(liveSlots(entries_.size())), mtimes_(entries_.size()) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::size_t feeds = entries_[i].feeds.size();
        feedLive_.push_back(feeds > 1 ? realtime::Live::feedSlots(live_[i], feeds)
                                      : std::vector<std::shared_ptr<realtime::Live>>{});
    }
}

CityRegistry::~CityRegistry() { stopWatching(); }

std::optional<realtime::CityTarget> CityRegistry::target(const std::string& key) const {
    const auto snapshot = current_.load();
    for (std::size_t i = 0; snapshot && i < snapshot->cities.size(); ++i) {
        const auto& c = snapshot->cities[i];
        if (c->key == key && feedLive_[i].empty()) {
            return realtime::CityTarget{c->feed, c->zone, c->realtime};
        }
        const auto& parts = c->feed->partKeys;
        for (std::size_t f = 0; f < parts.size() && f < feedLive_[i].size(); ++f) {
            if (key == c->key + "/" + parts[f]) {
                return realtime::CityTarget{gtfs::liveView(c->feed, parts[f]), c->zone, feedLive_[i][f]};
            }
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
    std::vector<std::size_t> all(entries_.size());
    std::iota(all.begin(), all.end(), std::size_t{0});
    auto loaded = load(all);
    auto snapshot = std::make_shared<query::Snapshot>();
    for (std::size_t i = 0; i < loaded.size(); ++i) {
        if (!loaded[i].city) {
            throw std::runtime_error(loaded[i].error);
        }
        mtimes_[i] = loaded[i].mtimes;
        snapshot->cities.push_back(std::move(loaded[i].city));
    }
    current_.store(std::move(snapshot));
}

void CityRegistry::reload(bool all) {
    const std::lock_guard lock(reloading_);
    std::vector<std::size_t> due;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (all || mtimesOf(entries_[i]) != mtimes_[i]) {
            due.push_back(i);
        }
    }
    if (due.empty()) {
        return;
    }
    auto next = std::make_shared<query::Snapshot>(*current_.load());
    bool changed = false;
    auto loaded = load(due);
    for (std::size_t k = 0; k < due.size(); ++k) {
        const std::size_t i = due[k];
        // A broken feed is not read again until one of the city's files changes again.
        mtimes_[i] = loaded[k].mtimes;
        if (loaded[k].city) {
            next->cities[i] = std::move(loaded[k].city);
            changed = true;
        } else {
            spdlog::error("reload of {} failed, the previous feed keeps serving: {}", entries_[i].city.key,
                          escapeControls(loaded[k].error));
        }
    }
    if (changed) {
        current_.store(std::move(next));
    }
}

std::vector<CityRegistry::Loaded> CityRegistry::load(const std::vector<std::size_t>& cities) {
    struct Job {
        std::size_t city = 0;
        std::size_t feed = 0;
        std::shared_ptr<const gtfs::Feed> loaded;
        std::string error;
        fs::file_time_type mtime;
        Seconds took{};
    };
    std::vector<Job> jobs;
    for (const auto c : cities) {
        for (std::size_t f = 0; f < entries_[c].feeds.size(); ++f) {
            jobs.emplace_back().city = c;
            jobs.back().feed = f;
        }
    }
    inParallel(jobs.size(), [&](std::size_t j) {
        Job& job = jobs[j];
        const CityEntry& e = entries_[job.city];
        const FeedEntry& feed = e.feeds[job.feed];
        job.mtime = mtime(feed.path);
        const auto start = std::chrono::steady_clock::now();
        try {
            job.loaded = gtfs::loadFeed(*gtfs::openDirectory(feed.path, feed.inner));
        } catch (const std::exception& ex) {
            job.error = feedName(e, job.feed) + ": " + ex.what();
            return;
        }
        job.took = std::chrono::steady_clock::now() - start;
        if (e.feeds.size() > 1) {
            spdlog::info("loaded {}/{} from {} in {:.1f} s: {} stops, {} trips", e.city.key, feed.key, feed.path,
                         job.took.count(), job.loaded->stops.size(), job.loaded->trips.size());
        }
    });

    std::vector<Loaded> out(cities.size());
    inParallel(cities.size(), [&](std::size_t k) {
        const std::size_t c = cities[k];
        const CityEntry& e = entries_[c];
        Loaded& result = out[k];
        std::vector<gtfs::FeedPart> parts;
        Seconds took{};
        std::string paths;
        for (auto& job : jobs) {
            if (job.city != c) {
                continue;
            }
            result.mtimes.push_back(job.mtime);
            if (result.error.empty() && !job.error.empty()) {
                result.error = job.error;
            }
            parts.push_back({e.feeds[job.feed].key, std::move(job.loaded)});
            took += job.took;
            paths += (paths.empty() ? "" : ", ") + e.feeds[job.feed].path;
        }
        if (!result.error.empty()) {
            return;
        }
        const auto start = std::chrono::steady_clock::now();
        try {
            result.city = query::City::build(e.city, gtfs::mergeFeeds(std::move(parts)), live_[c]);
        } catch (const std::exception& ex) {
            result.error = "city " + e.city.key + ": " + ex.what();
            return;
        }
        took += std::chrono::steady_clock::now() - start;
        {
            const std::lock_guard lock(metricsMutex_);
            loadTimes_[e.city.key] = took;
            if (metrics_ != nullptr) {
                metrics_->feedLoaded(e.city.key, took);
            }
        }
        const auto& feed = *result.city->feed;
        spdlog::info("loaded {} ({}) from {} in {:.1f} s: {} stops, {} trips, service {} to {}", e.city.key,
                     escapeControls(result.city->name), paths, took.count(), feed.stops.size(), feed.trips.size(),
                     date::format("%F", feed.calendar.firstDay()), date::format("%F", feed.calendar.lastDay()));
    });
    return out;
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
