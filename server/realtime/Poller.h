#pragma once

#include "server/realtime/Fetch.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmo::realtime {

// One live feed of a city: an http(s) URL or a file path.
struct SourceConfig {
    std::string city;
    std::string location;
};

struct PollerOptions {
    std::chrono::seconds interval{20};
    std::chrono::seconds maxAge{300};    // older data is dropped, times fall back to the timetable
    std::chrono::seconds timeout{10};    // for a whole transfer, redirects included
    std::chrono::seconds firstRetry{5};  // after a failure; doubles up to maxRetry
    std::chrono::seconds maxRetry{300};
};

// What a source's last polls gave, for /healthz and /metrics.
struct SourceStatus {
    std::string city;
    std::string location;                     // as shownLocation() shows it
    std::optional<std::int64_t> lastSuccess;  // service-clock Unix time of the last good poll
    std::optional<std::int64_t> dataTime;     // the time the held data stands for
    std::string lastError;                    // empty once a poll succeeds again
    std::uint64_t polls = 0;
    std::uint64_t failures = 0;
    std::uint64_t notModified = 0;
    std::uint64_t futureStamps = 0;  // messages stamped ahead of the clock
    std::uint64_t differential = 0;  // DIFFERENTIAL messages refused (counted in failures too)
    BuildStats build;                // the city's last overlay, all its sources together
};

// The city a source belongs to as it is loaded now.
struct CityTarget {
    std::shared_ptr<const gtfs::Feed> feed;
    const date::time_zone* zone = nullptr;
    std::shared_ptr<Live> live;
};
using TargetLookup = std::function<std::optional<CityTarget>(const std::string& city)>;
using Clock = std::function<TimePoint()>;

// Polls the sources on a background thread, keeps each one's last good
// message and publishes every city's overlay built from them. Each source keeps
// its own schedule: a slow or hanging one holds up none of the others. A failed
// poll keeps the last good data (until its maximum age) and is retried with back-off.
class Poller {
public:
    Poller(std::vector<SourceConfig> sources, PollerOptions options, TargetLookup lookup, Clock clock);
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    void start();
    // Cancels the transfers under way and returns without waiting for any source.
    void stop();
    // Polls every source once, all at the same time, and republishes; returns when all are done.
    void pollAll();
    // Rebuilds and publishes every city's overlay from the data held.
    void republish();
    [[nodiscard]] std::vector<SourceStatus> status() const;

private:
    struct Source {
        SourceConfig config;
        std::string validator;
        Input data;
        SourceStatus status;
        int failuresInRow = 0;
    };
    struct Loop;

    // Takes a fetch's result into the source's data and status; the wait until its next poll.
    std::chrono::seconds record(std::size_t i, Fetched f);
    void republish(const std::string& city);
    void schedule(std::size_t i, std::chrono::seconds delay);
    void sweep();

    PollerOptions options_;
    TargetLookup lookup_;
    Clock clock_;
    mutable std::mutex mutex_;
    std::vector<Source> sources_;
    std::unique_ptr<Loop> loop_;
};

}  // namespace velmo::realtime
