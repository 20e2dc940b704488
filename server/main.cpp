// tarvod: the departures service. Loads the configured cities' GTFS feeds and
// answers the departures client over HTTPS until SIGTERM or SIGINT; SIGHUP or a
// changed feed file reloads feeds in the background, and feeds given as URLs are
// refreshed there too.

#include "server/api/Server.h"
#include "server/app/CityRegistry.h"
#include "server/app/Config.h"
#include "server/realtime/Poller.h"

#include <date/date.h>
#include <pthread.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <csignal>
#include <iostream>
#include <thread>

using namespace velmo;

namespace {

int fail(const std::string& message) {
    std::cerr << "tarvod: " << message << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    auto parsed = tarvod::parseCommandLine(argc, argv);
    if (const int* exitCode = std::get_if<int>(&parsed)) {
        return *exitCode;
    }
    const auto& flags = std::get<tarvod::Flags>(parsed);
    spdlog::set_level(flags.verbose ? spdlog::level::debug : spdlog::level::info);
    auto configured = tarvod::configure(flags);
    if (const auto* error = std::get_if<tarvod::ConfigError>(&configured)) {
        return fail(error->message);
    }
    auto& config = std::get<tarvod::Config>(configured);

    // Signals are taken by one thread with sigwait; every other thread blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGHUP);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    auto cities = std::make_shared<tarvod::CityRegistry>(config.cities, config.feeds);
    try {
        cities->loadAll();
    } catch (const std::exception& e) {
        return fail(e.what());
    }

    std::chrono::seconds clockOffset{0};
    if (!flags.now.empty()) {
        const auto& loaded = cities->snapshot()->cities;
        const auto start = tarvod::parseNow(flags.now, loaded.empty() ? nullptr : loaded.front()->zone);
        if (!start) {
            return fail("bad --now " + flags.now + " (want e.g. 2025-03-14T08:00:00+01:00)");
        }
        clockOffset = *start - date::floor<std::chrono::seconds>(std::chrono::system_clock::now());
        spdlog::info("clock starts at {}", date::format("%FT%TZ", *start));
    }
    if (auto error = tarvod::useDefaultCertificate(config)) {
        return fail(error->message);
    }
    config.server.certPath = config.tlsCert;
    config.server.keyPath = config.tlsKey;

    const auto clock = [clockOffset] {
        return date::floor<std::chrono::seconds>(std::chrono::system_clock::now()) + clockOffset;
    };
    const std::vector<realtime::SourceConfig> sources = tarvod::liveSources(config);
    // Live sources are polled and parsed on their own thread, off the request path.
    realtime::Poller poller(
        sources, config.realtime, [cities](const std::string& key) { return cities->target(key); }, clock);
    if (!sources.empty()) {
        config.server.realtimeStatus = [&poller] { return poller.status(); };
    }
    config.server.feedStatus = [cities] { return cities->feedStatus(); };

    std::unique_ptr<api::Server> server;
    try {
        server = std::make_unique<api::Server>(
            config.server, [cities] { return cities->snapshot(); }, clock);
    } catch (const std::exception& e) {
        return fail(e.what());
    }
    cities->reportTo(server->metrics());
    if (server->bind(config.host, config.port) < 0) {
        return fail("cannot listen on " + config.listen);
    }

    if (config.cities.empty()) {
        spdlog::warn(
            "no city configured: every query is refused until a [[city]] with its feed is added to {} "
            "(see tarvod.example.toml) and tarvod is restarted",
            flags.configPath);
    }
    cities->startWatching(config.reloadCheck);
    std::atomic<bool> stopping{false};
    std::thread signalWaiter([&] {
        for (;;) {
            int sig = 0;
            if (sigwait(&signals, &sig) != 0) {
                continue;
            }
            if (sig == SIGHUP) {
                spdlog::info("SIGHUP: reloading feeds");
                cities->reloadAllSoon();
                continue;
            }
            spdlog::info("stopping");
            stopping = true;
            server->stop();
            return;
        }
    });

    poller.start();
    spdlog::info("listening on https://{}:{}/ (certificate {})", config.host, config.port, config.tlsCert);
    const bool served = server->listen();
    if (!stopping.exchange(true)) {
        // listen() ended on its own (socket failure): let the signal thread go.
        pthread_kill(signalWaiter.native_handle(), SIGTERM);
    }
    signalWaiter.join();
    cities->stopWatching();
    poller.stop();
    if (!served) {
        spdlog::error("serving on {} failed", config.listen);
        return 1;
    }
    return 0;
}
