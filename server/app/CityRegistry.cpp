#include "server/app/CityRegistry.h"

#include "platform/text/SafeText.h"
#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/gtfs/Merge.h"

#include <boost/asio/io_context.hpp>
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

FeedLimits withFolder(FeedLimits limits) {
    if (limits.folder.empty()) {
        limits.folder = defaultFeedFolder();
    }
    return limits;
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
    const std::string where = isUrl(feed.path) ? realtime::shownLocation(feed.path) : feed.path;
    return "city " + e.city.key + ", feed " + (e.feeds.size() > 1 ? feed.key + " (" + where + ")" : where);
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

CityRegistry::CityRegistry(std::vector<CityEntry> entries, FeedLimits limits)
    : entries_(std::move(entries)),
      limits_(withFolder(std::move(limits))),
      live_(liveSlots(entries_.size())),
      mtimes_(entries_.size()) {
    for (const auto& e : entries_) {
        auto& states = feeds_.emplace_back(e.feeds.size());
        for (std::size_t f = 0; f < e.feeds.size(); ++f) {
            if (isUrl(e.feeds[f].path)) {
                states[f].download =
                    std::make_unique<FeedDownload>(e.city.key, e.feeds[f].key, e.feeds[f].path, limits_);
            }
        }
    }
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        const std::size_t feeds = entries_[i].feeds.size();
        feedLive_.push_back(feeds > 1 ? realtime::Live::feedSlots(live_[i], feeds)
                                      : std::vector<std::shared_ptr<realtime::Live>>{});
    }
}

CityRegistry::~CityRegistry() { stopWatching(); }

std::string CityRegistry::diskPath(std::size_t city, std::size_t feed) const {
    const auto& download = feeds_[city][feed].download;
    return download ? download->keptCopy().string() : entries_[city].feeds[feed].path;
}

std::vector<fs::file_time_type> CityRegistry::mtimesOf(std::size_t city) const {
    std::vector<fs::file_time_type> out;
    for (std::size_t f = 0; f < entries_[city].feeds.size(); ++f) {
        out.push_back(mtime(diskPath(city, f)));
    }
    return out;
}

void CityRegistry::install(query::Snapshot& next, std::size_t city, std::shared_ptr<const query::City> loaded) const {
    // The snapshot holds the loaded cities in the order of the configuration.
    std::size_t at = 0;
    for (std::size_t i = 0; i < city; ++i) {
        at += std::ranges::any_of(next.cities, [&](const auto& c) { return c->key == entries_[i].city.key; });
    }
    if (at < next.cities.size() && next.cities[at]->key == entries_[city].city.key) {
        next.cities[at] = std::move(loaded);
    } else {
        next.cities.insert(next.cities.begin() + static_cast<std::ptrdiff_t>(at), std::move(loaded));
    }
}

void CityRegistry::setError(std::size_t city, std::size_t feed, std::string error) {
    const std::lock_guard lock(statusMutex_);
    feeds_[city][feed].lastError = std::move(error);
}

std::vector<api::FeedStatus> CityRegistry::feedStatus() const {
    std::vector<api::FeedStatus> out;
    const auto now = fs::file_time_type::clock::now();
    const std::lock_guard lock(statusMutex_);
    for (std::size_t c = 0; c < entries_.size(); ++c) {
        for (std::size_t f = 0; f < entries_[c].feeds.size(); ++f) {
            const auto& state = feeds_[c][f];
            api::FeedStatus s{entries_[c].city.key, entries_[c].feeds[f].key,
                              state.download ? state.download->shown() : entries_[c].feeds[f].path, std::nullopt,
                              state.lastError};
            std::error_code ec;
            const auto changed = fs::last_write_time(diskPath(c, f), ec);
            if (!ec) {
                s.ageSeconds = std::chrono::duration_cast<std::chrono::seconds>(now - changed).count();
            }
            out.push_back(std::move(s));
        }
    }
    return out;
}

std::optional<realtime::CityTarget> CityRegistry::target(const std::string& key) const {
    const auto snapshot = current_.load();
    for (std::size_t i = 0; snapshot && i < entries_.size(); ++i) {
        const auto found =
            std::ranges::find_if(snapshot->cities, [&](const auto& c) { return c->key == entries_[i].city.key; });
        if (found == snapshot->cities.end()) {
            continue;
        }
        const auto& c = *found;
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
    const auto now = std::chrono::steady_clock::now();
    const auto retry = std::min(limits_.refresh, std::chrono::seconds(300));
    // A URL feed with a kept copy starts from it and is checked for a newer one in the
    // background; one without is downloaded now, all such feeds at once.
    std::vector<std::pair<std::size_t, std::size_t>> fetches;
    for (std::size_t c = 0; c < entries_.size(); ++c) {
        for (std::size_t f = 0; f < entries_[c].feeds.size(); ++f) {
            auto& state = feeds_[c][f];
            if (!state.download) {
                continue;
            }
            state.nextCheck = now;
            if (!state.download->haveCopy()) {
                fetches.emplace_back(c, f);
                continue;
            }
            std::error_code ec;
            const std::chrono::duration<double, std::ratio<3600>> age =
                fs::file_time_type::clock::now() - fs::last_write_time(state.download->keptCopy(), ec);
            spdlog::info("{}: serving the copy kept in {}, downloaded {:.1f} h ago; {} is checked for a newer one",
                         feedName(entries_[c], f), state.download->keptCopy().string(), age.count(),
                         escapeControls(state.download->shown()));
        }
    }
    std::vector<FeedDownload::Result> results(fetches.size());
    inParallel(fetches.size(),
               [&](std::size_t k) { results[k] = feeds_[fetches[k].first][fetches[k].second].download->download(); });
    Overrides overrides;
    std::map<std::pair<std::size_t, std::size_t>, FeedDownload::Result> fresh;
    std::vector<std::string> failed(entries_.size());
    for (std::size_t k = 0; k < fetches.size(); ++k) {
        const auto [c, f] = fetches[k];
        if (results[k].outcome == realtime::FetchOutcome::Fresh) {
            overrides[fetches[k]] = results[k].file;
            fresh[fetches[k]] = results[k];
            feeds_[c][f].nextCheck = now + limits_.refresh;
            continue;
        }
        feeds_[c][f].nextCheck = now + retry;
        setError(c, f, results[k].error);
        if (failed[c].empty()) {
            failed[c] = feedName(entries_[c], f) + ": download failed: " + results[k].error;
        }
    }
    std::vector<std::size_t> due;
    for (std::size_t c = 0; c < entries_.size(); ++c) {
        if (failed[c].empty()) {
            due.push_back(c);
        }
    }
    auto loaded = load(due, overrides);
    const auto ofCity = [&](std::size_t c) {
        std::vector<std::pair<std::size_t, FeedDownload::Result>> out;
        for (const auto& [at, result] : fresh) {
            if (at.first == c) {
                out.emplace_back(at.second, result);
            }
        }
        return out;
    };
    auto snapshot = std::make_shared<query::Snapshot>();
    std::string firstError;
    for (std::size_t c = 0, k = 0; c < entries_.size(); ++c) {
        Loaded result;
        if (failed[c].empty()) {
            result = std::move(loaded[k++]);
        } else {
            result.error = failed[c];
        }
        mtimes_[c] = result.city ? result.mtimes : mtimesOf(c);
        if (result.city) {
            for (const auto& [f, download] : ofCity(c)) {
                if (const auto why = feeds_[c][f].download->keep(download); !why.empty()) {
                    spdlog::error("{}: {}", feedName(entries_[c], f), why);
                }
            }
            install(*snapshot, c, std::move(result.city));
            continue;
        }
        for (const auto& [f, download] : ofCity(c)) {
            FeedDownload::discard(download);
            setError(c, f, result.error);
        }
        // Only a city whose data came from the network now is left out: a broken file given
        // by path is the configuration's fault and stops the start, as before.
        if (failed[c].empty() && ofCity(c).empty()) {
            for (const auto& [at, download] : fresh) {
                FeedDownload::discard(download);
            }
            throw std::runtime_error(result.error);
        }
        spdlog::error("{}; the city is left out until a download of its feed succeeds", escapeControls(result.error));
        firstError = firstError.empty() ? result.error : firstError;
    }
    // No city at all is a configuration waiting for one; every city failing is not.
    if (snapshot->cities.empty() && !firstError.empty()) {
        throw std::runtime_error(firstError);
    }
    current_.store(std::move(snapshot));
}

void CityRegistry::reload(bool all) {
    const std::lock_guard lock(reloading_);
    std::vector<std::size_t> due;
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        if (all || mtimesOf(i) != mtimes_[i]) {
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
            install(*next, i, std::move(loaded[k].city));
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

std::vector<CityRegistry::Loaded> CityRegistry::load(const std::vector<std::size_t>& cities,
                                                     const Overrides& overrides) {
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
        const auto other = overrides.find({job.city, job.feed});
        const std::string path = other != overrides.end() ? other->second.string() : diskPath(job.city, job.feed);
        job.mtime = mtime(path);
        const auto start = std::chrono::steady_clock::now();
        try {
            job.loaded = gtfs::loadFeed(*gtfs::openDirectory(path, feed.inner));
        } catch (const std::exception& ex) {
            job.error = feedName(e, job.feed) + ": " + ex.what();
            setError(job.city, job.feed, job.error);
            return;
        }
        if (!feeds_[job.city][job.feed].download) {
            setError(job.city, job.feed, "");
        }
        job.took = std::chrono::steady_clock::now() - start;
        if (e.feeds.size() > 1) {
            spdlog::info("loaded {}/{} from {} in {:.1f} s: {} stops, {} trips", e.city.key, feed.key, path,
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
            const auto other = overrides.find({c, job.feed});
            paths += (paths.empty() ? "" : ", ") +
                     (other != overrides.end() ? other->second.string() : diskPath(c, job.feed));
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

void CityRegistry::takeDownload(std::size_t city, std::size_t feed, const FeedDownload::Result& result) {
    if (result.outcome != realtime::FetchOutcome::Fresh) {
        setError(city, feed, result.error);
        return;
    }
    const std::lock_guard lock(reloading_);
    auto loaded = load({city}, {{{city, feed}, result.file}});
    const auto current = current_.load();
    const bool serving = current && std::ranges::any_of(current->cities, [&](const auto& c) {
                             return c->key == entries_[city].city.key;
                         });
    if (!loaded.front().city) {
        FeedDownload::discard(result);
        spdlog::error("{}; the new download is dropped, {}", escapeControls(loaded.front().error),
                      serving ? "the data in use keeps serving" : "the city stays out");
        return;
    }
    if (const auto why = feeds_[city][feed].download->keep(result); !why.empty()) {
        spdlog::error("{}: {}", feedName(entries_[city], feed), why);
    }
    auto next = current ? std::make_shared<query::Snapshot>(*current) : std::make_shared<query::Snapshot>();
    install(*next, city, std::move(loaded.front().city));
    current_.store(std::move(next));
    mtimes_[city] = mtimesOf(city);
    setError(city, feed, "");
}

void CityRegistry::refreshLoop() {
    const auto retry = std::min(limits_.refresh, std::chrono::seconds(300));
    std::unique_lock lock(refreshMutex_);
    while (!refreshStopping_) {
        FeedState* next = nullptr;
        std::size_t city = 0;
        std::size_t feed = 0;
        for (std::size_t c = 0; c < feeds_.size(); ++c) {
            for (std::size_t f = 0; f < feeds_[c].size(); ++f) {
                auto& state = feeds_[c][f];
                if (state.download && (next == nullptr || state.nextCheck < next->nextCheck)) {
                    next = &state;
                    city = c;
                    feed = f;
                }
            }
        }
        if (next == nullptr || refreshWake_.wait_until(lock, next->nextCheck, [this] { return refreshStopping_; })) {
            return;
        }
        // The download runs on an io_context of its own, which stopWatching() stops.
        boost::asio::io_context io;
        downloading_ = &io;
        lock.unlock();
        std::optional<FeedDownload::Result> result;
        next->download->start(io, [&result](FeedDownload::Result r) { result = std::move(r); });
        io.run();
        lock.lock();
        downloading_ = nullptr;
        if (refreshStopping_ || !result) {
            next->download->dropPartial();
            return;
        }
        lock.unlock();
        takeDownload(city, feed, *result);
        {
            const std::lock_guard status(statusMutex_);
            next->nextCheck = std::chrono::steady_clock::now() + (next->lastError.empty() ? limits_.refresh : retry);
        }
        lock.lock();
    }
}

void CityRegistry::startWatching(std::chrono::seconds interval) {
    if (std::ranges::any_of(feeds_, [](const auto& city) {
            return std::ranges::any_of(city, [](const FeedState& f) { return f.download != nullptr; });
        })) {
        refresher_ = std::thread([this] { refreshLoop(); });
    }
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
        const std::lock_guard lock(refreshMutex_);
        refreshStopping_ = true;
        if (downloading_ != nullptr) {
            downloading_->stop();
        }
        refreshWake_.notify_all();
    }
    if (refresher_.joinable()) {
        refresher_.join();
    }
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
