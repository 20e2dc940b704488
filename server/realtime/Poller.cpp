#include "server/realtime/Poller.h"

#include "platform/text/SafeText.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <set>
#include <thread>

namespace velmo::realtime {

namespace {

using namespace std::chrono_literals;

// Clocks of feed producers drift; a stamp this far ahead still counts as now.
constexpr auto kClockSlack = 60s;

}  // namespace

// The background polling: one timer per source on one io_context, whose thread runs every
// transfer, parse and publication; a sweep timer rebuilds the overlays once an interval.
struct Poller::Loop {
    boost::asio::io_context io;
    std::vector<boost::asio::steady_timer> timers;
    boost::asio::steady_timer sweep{io};
    std::thread thread;
};

Poller::Poller(std::vector<SourceConfig> sources, PollerOptions options, TargetLookup lookup, Clock clock)
    : options_(options), lookup_(std::move(lookup)), clock_(std::move(clock)) {
    for (auto& s : sources) {
        Source source;
        source.status.city = s.city;
        source.status.location = shownLocation(s.location);
        source.config = std::move(s);
        sources_.push_back(std::move(source));
    }
}

Poller::~Poller() { stop(); }

void Poller::start() {
    if (loop_ || sources_.empty()) {
        return;
    }
    loop_ = std::make_unique<Loop>();
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        loop_->timers.emplace_back(loop_->io);
        schedule(i, 0s);
    }
    sweep();
    loop_->thread = std::thread([this] { loop_->io.run(); });
}

void Poller::stop() {
    if (!loop_) {
        return;
    }
    loop_->io.stop();
    if (loop_->thread.joinable()) {
        loop_->thread.join();
    }
    // Closes the connections of the transfers under way; their handlers never run.
    loop_.reset();
}

void Poller::schedule(std::size_t i, std::chrono::seconds delay) {
    auto& timer = loop_->timers[i];
    timer.expires_after(delay);
    timer.async_wait([this, i](boost::system::error_code ec) {
        if (ec) {
            return;
        }
        std::string location;
        std::string validator;
        {
            const std::lock_guard lock(mutex_);
            location = sources_[i].config.location;
            validator = sources_[i].validator;
        }
        fetchAsync(loop_->io, location, validator, options_.timeout, [this, i](Fetched f) {
            const auto next = record(i, std::move(f));
            republish(sources_[i].config.city);
            schedule(i, next);
        });
    });
}

// Rebuilds every overlay once an interval, so that expired data leaves it even while
// its sources fail.
void Poller::sweep() {
    loop_->sweep.expires_after(options_.interval);
    loop_->sweep.async_wait([this](boost::system::error_code ec) {
        if (!ec) {
            republish();
            sweep();
        }
    });
}

void Poller::pollAll() {
    boost::asio::io_context io;
    for (std::size_t i = 0; i < sources_.size(); ++i) {
        std::string location;
        std::string validator;
        {
            const std::lock_guard lock(mutex_);
            location = sources_[i].config.location;
            validator = sources_[i].validator;
        }
        fetchAsync(io, location, validator, options_.timeout, [this, i](Fetched f) { record(i, std::move(f)); });
    }
    io.run();
    republish();
}

std::chrono::seconds Poller::record(std::size_t i, Fetched f) {
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
    // An increment says what changed since messages we may never have seen: laid over alone it
    // would drop every trip it does not mention. Refused like a broken message.
    const bool differential = message && message->header().incrementality() == pb::FeedHeader::DIFFERENTIAL;
    if (differential) {
        f.outcome = FetchOutcome::Failed;
        f.error = "DIFFERENTIAL feed refused: only FULL_DATASET messages are applied";
        message.reset();
    }

    const std::lock_guard lock(mutex_);
    Source& s = sources_[i];
    ++s.status.polls;
    s.status.differential += differential ? 1 : 0;
    if (f.outcome == FetchOutcome::Failed) {
        ++s.status.failures;
        s.status.lastError = f.error;
        ++s.failuresInRow;
        const auto retry = std::min<std::chrono::seconds>(
            options_.maxRetry, options_.firstRetry * (1LL << std::min(s.failuresInRow - 1, 16)));
        spdlog::warn("realtime {} {}: {} (keeping the last good data; retry in {} s)", s.config.city,
                     escapeControls(s.status.location), escapeControls(f.error), retry.count());
        return retry;
    }
    s.failuresInRow = 0;
    s.status.lastSuccess = now.time_since_epoch().count();
    s.status.lastError.clear();
    if (f.outcome == FetchOutcome::NotModified) {
        ++s.status.notModified;
        return options_.interval;
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
        spdlog::warn("realtime {} {}: {}", s.config.city, escapeControls(s.status.location), s.status.lastError);
    }
    s.data = {std::move(message), stamp};
    s.status.dataTime = stamp.time_since_epoch().count();
    return options_.interval;
}

void Poller::republish() {
    std::set<std::string> cities;
    for (const auto& s : sources_) {
        cities.insert(s.config.city);
    }
    for (const auto& city : cities) {
        republish(city);
    }
}

void Poller::republish(const std::string& city) {
    const TimePoint now = clock_();
    std::vector<Input> inputs;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& s : sources_) {
            if (s.config.city == city && s.data.message) {
                inputs.push_back(s.data);
            }
        }
    }
    const auto target = lookup_(city);
    if (!target || !target->live || !target->feed) {
        return;
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

std::vector<SourceStatus> Poller::status() const {
    const std::lock_guard lock(mutex_);
    std::vector<SourceStatus> out;
    for (const auto& s : sources_) {
        out.push_back(s.status);
    }
    return out;
}

}  // namespace velmo::realtime
