#include "server/api/Metrics.h"

#include "server/realtime/Poller.h"

#include <fmt/format.h>

namespace velmo::api {

void Metrics::request(const std::string& endpoint, const std::string& result, std::chrono::duration<double> latency) {
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

namespace {

// A label value with backslash, quote and line breaks escaped.
std::string label(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

std::string Metrics::renderRealtime(const std::vector<realtime::SourceStatus>& sources, std::chrono::sys_seconds now) {
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help, auto value) {
        out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
        for (const auto& s : sources) {
            const auto v = value(s);
            if (v) {
                out += fmt::format("{}{{city=\"{}\",source=\"{}\"}} {}\n", name, label(s.city), label(s.location), *v);
            }
        }
    };
    using V = std::optional<std::int64_t>;
    family("tarvod_realtime_last_success_timestamp_seconds", "gauge", "When a poll of the source last succeeded.",
           [](const realtime::SourceStatus& s) { return s.lastSuccess; });
    family("tarvod_realtime_age_seconds", "gauge", "Age of the live data held from the source.",
           [&](const realtime::SourceStatus& s) {
               return s.dataTime ? V(now.time_since_epoch().count() - *s.dataTime) : V();
           });
    family("tarvod_realtime_polls_total", "counter", "Polls of the source.",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.polls)); });
    family("tarvod_realtime_failures_total", "counter", "Failed polls: no answer, HTTP errors, unreadable messages.",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.failures)); });
    family("tarvod_realtime_future_stamps_total", "counter", "Messages stamped ahead of the clock.",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.futureStamps)); });
    family("tarvod_realtime_differential_refused_total", "counter",
           "DIFFERENTIAL messages refused (only full datasets are applied).",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.differential)); });
    family("tarvod_realtime_matched_trips", "gauge", "Trip updates of the city matched to the timetable.",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.build.matchedTrips)); });
    family("tarvod_realtime_unknown_trips", "gauge", "Trip updates of the city naming no known trip.",
           [](const realtime::SourceStatus& s) { return V(static_cast<std::int64_t>(s.build.unknownTrips)); });
    out +=
        "# HELP tarvod_realtime_last_error_info The source's last error, while it lasts.\n"
        "# TYPE tarvod_realtime_last_error_info gauge\n";
    for (const auto& s : sources) {
        if (!s.lastError.empty()) {
            out += fmt::format("tarvod_realtime_last_error_info{{city=\"{}\",source=\"{}\",error=\"{}\"}} 1\n",
                               label(s.city), label(s.location), label(s.lastError));
        }
    }
    return out;
}

std::string Metrics::renderFeeds(const std::vector<FeedStatus>& feeds) {
    std::string out =
        "# HELP tarvod_feed_age_seconds Since the feed data in use was downloaded or its file changed.\n"
        "# TYPE tarvod_feed_age_seconds gauge\n";
    for (const auto& f : feeds) {
        if (f.ageSeconds) {
            out += fmt::format("tarvod_feed_age_seconds{{city=\"{}\",feed=\"{}\",source=\"{}\"}} {}\n", label(f.city),
                               label(f.feed), label(f.source), *f.ageSeconds);
        }
    }
    out +=
        "# HELP tarvod_feed_last_error_info The feed's last download or load error, while it lasts.\n"
        "# TYPE tarvod_feed_last_error_info gauge\n";
    for (const auto& f : feeds) {
        if (!f.lastError.empty()) {
            out += fmt::format("tarvod_feed_last_error_info{{city=\"{}\",feed=\"{}\",source=\"{}\",error=\"{}\"}} 1\n",
                               label(f.city), label(f.feed), label(f.source), label(f.lastError));
        }
    }
    return out;
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
