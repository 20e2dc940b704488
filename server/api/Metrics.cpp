#include "server/api/Metrics.h"

#include <fmt/format.h>

namespace velmo::api {

void Metrics::request(const std::string& endpoint, const std::string& result,
                      std::chrono::duration<double> latency) {
    const std::lock_guard lock(mutex_);
    ++requests_[{endpoint, result}];
    std::size_t b = 0;
    while (b < kBuckets.size() && latency.count() > kBuckets[b]) {
        ++b;
    }
    ++latency_[b];
    latencySum_ += latency.count();
    ++latencyCount_;
}

void Metrics::feedLoaded(const std::string& city, std::chrono::duration<double> took) {
    const std::lock_guard lock(mutex_);
    feedLoadSeconds_[city] = took.count();
}

std::string Metrics::render() const {
    const std::lock_guard lock(mutex_);
    std::string out;
    out += "# HELP tarvod_requests_total Requests answered, by endpoint and result.\n";
    out += "# TYPE tarvod_requests_total counter\n";
    for (const auto& [key, n] : requests_) {
        out += fmt::format("tarvod_requests_total{{endpoint=\"{}\",result=\"{}\"}} {}\n", key.first, key.second, n);
    }
    out += "# HELP tarvod_request_seconds Time spent answering a request.\n";
    out += "# TYPE tarvod_request_seconds histogram\n";
    unsigned long long cumulative = 0;
    for (std::size_t b = 0; b < kBuckets.size(); ++b) {
        cumulative += latency_[b];
        out += fmt::format("tarvod_request_seconds_bucket{{le=\"{}\"}} {}\n", kBuckets[b], cumulative);
    }
    cumulative += latency_.back();
    out += fmt::format("tarvod_request_seconds_bucket{{le=\"+Inf\"}} {}\n", cumulative);
    out += fmt::format("tarvod_request_seconds_sum {}\n", latencySum_);
    out += fmt::format("tarvod_request_seconds_count {}\n", latencyCount_);
    out += "# HELP tarvod_feed_load_seconds Time the last successful load of a city's feed took.\n";
    out += "# TYPE tarvod_feed_load_seconds gauge\n";
    for (const auto& [city, s] : feedLoadSeconds_) {
        out += fmt::format("tarvod_feed_load_seconds{{city=\"{}\"}} {}\n", city, s);
    }
    return out;
}

}  // namespace velmo::api
