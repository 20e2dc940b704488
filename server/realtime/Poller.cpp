#include "server/realtime/Poller.h"

#include <httplib.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

namespace velmo::realtime {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Clocks of feed producers drift; a stamp this far ahead still counts as now.
constexpr auto kClockSlack = 60s;

Fetched fetchFile(const std::string& path, const std::string& validator) {
    Fetched f;
    std::error_code ec;
    const auto mtime = fs::last_write_time(path, ec);
    if (ec) {
        f.error = "cannot read " + path + ": " + ec.message();
        return f;
    }
    f.validator = std::to_string(mtime.time_since_epoch().count());
    if (f.validator == validator) {
        f.outcome = FetchOutcome::NotModified;
        return f;
    }
    const auto size = fs::file_size(path, ec);
    if (ec || size > kMaxMessageBytes) {
        f.error = ec ? "cannot read " + path + ": " + ec.message() : "file too large: " + path;
        return f;
    }
    std::ifstream in(path, std::ios::binary);
    f.body.resize(size);
    if (!in.read(f.body.data(), static_cast<std::streamsize>(size))) {
        f.error = "cannot read " + path;
        f.body.clear();
        return f;
    }
    f.outcome = FetchOutcome::Fresh;
    return f;
}

Fetched fetchHttp(std::string url, const std::string& validator, std::chrono::seconds timeout) {
    static const std::regex kUrl(R"(^(https?://[^/?#]+)([^#]*))", std::regex::icase);
    Fetched f;
    // Redirects are followed here: the library's own following takes a 304
    // for one and fails.
    for (int hop = 0; hop < 5; ++hop) {
        std::smatch m;
        if (!std::regex_search(url, m, kUrl)) {
            f.error = "bad URL " + url;
            return f;
        }
        const std::string path = m[2].length() > 0 ? m[2].str() : "/";
        httplib::Client client(m[1].str());
        if (!client.is_valid()) {
            f.error = "bad URL " + url;
            return f;
        }
        client.set_connection_timeout(timeout);
        client.set_read_timeout(timeout);
        client.set_write_timeout(timeout);
        httplib::Headers headers;
        if (!validator.empty()) {
            headers.emplace("If-Modified-Since", validator);
        }
        bool tooLarge = false;
        auto res = client.Get(path, headers, [&](std::uint64_t received, std::uint64_t) {
            tooLarge = received > kMaxMessageBytes;
            return !tooLarge;
        });
        if (!res) {
            f.error = tooLarge ? "reply too large" : "request failed: " + httplib::to_string(res.error());
            return f;
        }
        const int status = res->status;
        if ((status == 301 || status == 302 || status == 303 || status == 307 || status == 308) &&
            res->has_header("Location")) {
            const std::string location = res->get_header_value("Location");
            url = location.starts_with("/") ? m[1].str() + location : location;
            continue;
        }
        if (status == 304) {
            f.outcome = FetchOutcome::NotModified;
            f.validator = validator;
            return f;
        }
        if (status != 200) {
            f.error = "HTTP " + std::to_string(status);
            return f;
        }
        f.body = std::move(res->body);
        f.validator = res->get_header_value("Last-Modified");
        f.outcome = FetchOutcome::Fresh;
        return f;
    }
    f.error = "too many redirects";
    return f;
}

}  // namespace

Fetched fetch(const std::string& location, const std::string& validator, std::chrono::seconds timeout) {
    const bool http =
        location.size() > 7 && (location.compare(0, 7, "http://") == 0 || location.compare(0, 8, "https://") == 0);
    return http ? fetchHttp(location, validator, timeout) : fetchFile(location, validator);
}

Poller::Poller(std::vector<SourceConfig> sources, PollerOptions options, TargetLookup lookup, Clock clock)
    : options_(options), lookup_(std::move(lookup)), clock_(std::move(clock)) {
    for (auto& s : sources) {
        Source source;
        source.status.city = s.city;
        source.status.location = s.location;
        source.config = std::move(s);
        sources_.push_back(std::move(source));
    }
}

Poller::~Poller() { stop(); }

void Poller::start() {
    if (!thread_.joinable() && !sources_.empty()) {
        thread_ = std::thread([this] { run(); });
    }
}

void Poller::stop() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void Poller::pollAll() {
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        poll(i);
    }
    republish();
}

void Poller::poll(std::size_t i) {
    std::string location;
    std::string validator;
    {
        const std::lock_guard lock(mutex_);
        location = sources_[i].config.location;
        validator = sources_[i].validator;
    }
    Fetched f = fetch(location, validator, options_.timeout);
    const TimePoint now = clock_();
    std::shared_ptr<const pb::FeedMessage> message;
    if (f.outcome == FetchOutcome::Fresh) {
        auto parsed = parseMessage(f.body);
        if (auto* error = std::get_if<std::string>(&parsed)) {
            f.outcome = FetchOutcome::Failed;
            f.error = *error;
        } else {
            message = std::get<std::shared_ptr<const pb::FeedMessage>>(std::move(parsed));
        }
    }

    const std::lock_guard lock(mutex_);
    Source& s = sources_[i];
    ++s.status.polls;
    const auto steady = std::chrono::steady_clock::now();
    if (f.outcome == FetchOutcome::Failed) {
        ++s.status.failures;
        s.status.lastError = f.error;
        ++s.failuresInRow;
        const auto retry = std::min<std::chrono::seconds>(
            options_.maxRetry, options_.firstRetry * (1LL << std::min(s.failuresInRow - 1, 16)));
        s.due = steady + retry;
        spdlog::warn("realtime {} {}: {} (keeping the last good data; retry in {} s)", s.config.city, s.config.location,
                     f.error, retry.count());
        return;
    }
    s.failuresInRow = 0;
    s.due = steady + options_.interval;
    s.status.lastSuccess = now.time_since_epoch().count();
    s.status.lastError.clear();
    if (f.outcome == FetchOutcome::NotModified) {
        ++s.status.notModified;
        return;
    }
    s.validator = f.validator;
    // The data stands for its header's time stamp; a missing stamp, or one
    // ahead of the clock, counts as the moment it was received.
    TimePoint stamp = now;
    const auto header = static_cast<std::int64_t>(std::min<std::uint64_t>(message->header().timestamp(), INT64_MAX));
    if (header > 0 && TimePoint(std::chrono::seconds(header)) <= now + kClockSlack) {
        stamp = std::min(now, TimePoint(std::chrono::seconds(header)));
    } else if (header > 0) {
        ++s.status.futureStamps;
        s.status.lastError = "time stamp " + std::to_string(header) + " is in the future; aged from receipt";
        spdlog::warn("realtime {} {}: {}", s.config.city, s.config.location, s.status.lastError);
    }
    s.data = {std::move(message), stamp};
    s.status.dataTime = stamp.time_since_epoch().count();
}

void Poller::republish() {
    const TimePoint now = clock_();
    std::map<std::string, std::vector<Input>> byCity;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& s : sources_) {
            auto& inputs = byCity[s.config.city];
            if (s.data.message) {
                inputs.push_back(s.data);
            }
        }
    }
    for (const auto& [city, inputs] : byCity) {
        const auto target = lookup_(city);
        if (!target || !target->live || !target->feed) {
            continue;
        }
        BuildStats stats;
        target->live->publish(buildOverlay(target->feed, target->zone, inputs, now, options_.maxAge, &stats));
        const std::lock_guard lock(mutex_);
        for (auto& s : sources_) {
            if (s.config.city == city) {
                s.status.build = stats;
            }
        }
    }
}

void Poller::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        const auto now = std::chrono::steady_clock::now();
        std::vector<std::size_t> due;
        auto next = now + options_.interval;
        for (std::size_t i = 0; i < sources_.size(); ++i) {
            if (sources_[i].due <= now) {
                due.push_back(i);
            } else {
                next = std::min(next, sources_[i].due);
            }
        }
        if (!due.empty()) {
            lock.unlock();
            for (const auto i : due) {
                poll(i);
            }
            republish();
            lock.lock();
            continue;
        }
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) {
            break;
        }
        // Nothing due: rebuild anyway so that expired data leaves the overlay.
        lock.unlock();
        republish();
        lock.lock();
    }
}

std::vector<SourceStatus> Poller::status() const {
    const std::lock_guard lock(mutex_);
    std::vector<SourceStatus> out;
    for (const auto& s : sources_) {
        out.push_back(s.status);
    }
    return out;
}

}  // namespace velmo::realtime
