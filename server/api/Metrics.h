#pragma once

#include "server/api/FeedStatus.h"

#include <array>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace velmo::realtime {
struct SourceStatus;
}

namespace velmo::api {

// Counters for GET /metrics, in Prometheus text format. Thread-safe.
class Metrics {
public:
    void request(const std::string& endpoint, const std::string& result, std::chrono::duration<double> latency);
    void feedLoaded(const std::string& city, std::chrono::duration<double> took);
    [[nodiscard]] std::string render() const;
    // The live sources: last success, age of the data held, polls and failures, last error.
    static std::string renderRealtime(const std::vector<realtime::SourceStatus>& sources, std::chrono::sys_seconds now);
    // The static feeds: age of the data in use, last error.
    static std::string renderFeeds(const std::vector<FeedStatus>& feeds);

private:
    static constexpr std::array<double, 9> kBuckets{0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 1.0};

    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::string>, unsigned long long> requests_;
    std::array<unsigned long long, kBuckets.size() + 1> latency_{};
    double latencySum_ = 0;
    unsigned long long latencyCount_ = 0;
    std::map<std::string, double> feedLoadSeconds_;
};

}  // namespace velmo::api
