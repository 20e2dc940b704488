// Live data: applying a trip-updates feed of 3,000 trips (parse and overlay
// build, as the poller does off the request path), and the departures query's
// median and 99th percentile while idle and while overlays are being rebuilt
// and swapped in on another thread.
//
// Network: 20 lines of 25 stops on a 500-stop grid, 150 trips per line
// (3,000 trips, 75,000 stop times); every trip gets a delay at its first stop
// and a second one half-way.

#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/query/Engine.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"

#include <benchmark/benchmark.h>
#include <date/tz.h>

#include <time.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

using namespace velmo;
using namespace std::chrono_literals;

namespace {

constexpr int kLines = 20;
constexpr int kStopsPerLine = 25;
constexpr int kTripsPerLine = 150;
constexpr int kStops = 500;

std::string hms(int s) {
    char b[16];
    std::snprintf(b, sizeof b, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return b;
}

std::string tripId(int line, int trip) { return "L" + std::to_string(line) + "-" + std::to_string(trip); }

std::shared_ptr<const gtfs::Feed> buildFeed() {
    gtfs::MemoryDirectory d;
    d.put("agency.txt", "agency_name,agency_url,agency_timezone\nBench,https://b.example,Europe/Budapest\n");
    std::string stops = "stop_id,stop_name,stop_lat,stop_lon\n";
    for (int s = 0; s < kStops; ++s) {
        stops += "S" + std::to_string(s) + ",Stop " + std::to_string(s) + "," +
                 std::to_string(47.45 + (s / 25) * 0.002) + "," + std::to_string(19.0 + (s % 25) * 0.003) + "\n";
    }
    d.put("stops.txt", stops);
    std::string routes = "route_id,route_short_name,route_type\n";
    std::string trips = "route_id,service_id,trip_id\n";
    std::string times = "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n";
    for (int l = 0; l < kLines; ++l) {
        routes += "R" + std::to_string(l) + "," + std::to_string(l + 1) + ",3\n";
        for (int t = 0; t < kTripsPerLine; ++t) {
            const std::string id = tripId(l, t);
            trips += "R" + std::to_string(l) + ",ALL," + id + "\n";
            const int start = 5 * 3600 + t * 420 + l * 13;
            for (int k = 0; k < kStopsPerLine; ++k) {
                const int stop = (l % 2 == 0) ? (l / 2) * 25 + k : k * 20 + l / 2;  // rows and columns
                times += id + "," + hms(start + k * 120) + "," + hms(start + k * 120) + ",S" + std::to_string(stop) +
                         "," + std::to_string(k + 1) + "\n";
            }
        }
    }
    d.put("routes.txt", routes);
    d.put("trips.txt", trips);
    d.put("stop_times.txt", times);
    d.put("calendar.txt",
          "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
          "ALL,1,1,1,1,1,1,1,20250101,20251231\n");
    return gtfs::loadFeed(d);
}

const query::TimePoint kNow = date::floor<std::chrono::seconds>(
    date::make_zoned("Europe/Budapest", date::local_days(date::year(2025) / 3 / 14) + 12h).get_sys_time());

std::string buildMessage() {
    realtime::pb::FeedMessage m;
    m.mutable_header()->set_gtfs_realtime_version("2.0");
    m.mutable_header()->set_timestamp(static_cast<std::uint64_t>(kNow.time_since_epoch().count()));
    for (int l = 0; l < kLines; ++l) {
        for (int t = 0; t < kTripsPerLine; ++t) {
            auto* u = m.add_entity()->mutable_trip_update();
            u->mutable_trip()->set_trip_id(tripId(l, t));
            u->mutable_trip()->set_start_date("20250314");
            auto* a = u->add_stop_time_update();
            a->set_stop_sequence(1);
            a->mutable_departure()->set_delay(60 * ((l + t) % 7));
            auto* b = u->add_stop_time_update();
            b->set_stop_id("S" + std::to_string((l % 2 == 0) ? (l / 2) * 25 + 12 : 12 * 20 + l / 2));
            b->mutable_arrival()->set_delay(60 * ((l * t) % 5));
        }
    }
    return m.SerializeAsString();
}

struct World {
    std::shared_ptr<const gtfs::Feed> feed = buildFeed();
    std::shared_ptr<realtime::Live> live = std::make_shared<realtime::Live>();
    query::Snapshot snapshot;
    std::string bytes = buildMessage();
    World() { snapshot.cities.push_back(query::City::build({"b", "", "", ""}, feed, live)); }

    std::shared_ptr<const realtime::Overlay> apply() const {
        auto parsed = realtime::parseMessage(bytes);
        const realtime::Input input{std::get<0>(parsed), kNow};
        return realtime::buildOverlay(feed, snapshot.cities.front()->zone, std::span(&input, 1), kNow, 300s);
    }
};

World& world() {
    static World w;
    return w;
}

void BM_ApplyTripUpdates3000(benchmark::State& state) {
    World& w = world();
    std::size_t runs = 0;
    for (auto _ : state) {
        auto overlay = w.apply();
        runs = overlay->runs.size();
        benchmark::DoNotOptimize(overlay);
    }
    state.counters["trips"] = static_cast<double>(runs);
    state.counters["bytes"] = static_cast<double>(w.bytes.size());
}
BENCHMARK(BM_ApplyTripUpdates3000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

double nowMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// CPU time of this thread: unlike the wall clock it does not count the time
// other processes on the shared machine hold the core.
double cpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

// Arg 0: idle; arg 1: another thread rebuilds and swaps the overlay every
// 50 ms (a thousand times the default poll rate).
void BM_QueryDuringSwap(benchmark::State& state) {
    World& w = world();
    w.live->publish(w.apply());
    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper;
    if (state.range(0) == 1) {
        swapper = std::thread([&] {
            while (!stop) {
                w.live->publish(w.apply());
                ++swaps;
                std::this_thread::sleep_for(50ms);
            }
        });
    }
    query::NearbyParams p;
    p.lat = 47.45 + 5 * 0.002;
    p.lon = 19.0 + 12 * 0.003;
    p.fetchRadius = 1500;
    p.realRadius = 500;
    p.minutes = 30;
    std::vector<double> samples;
    std::vector<double> cpu;
    for (auto _ : state) {
        const double t0 = nowMicros();
        const double c0 = cpuMicros();
        auto r = query::nearby(w.snapshot, p, kNow);
        cpu.push_back(cpuMicros() - c0);
        samples.push_back(nowMicros() - t0);
        benchmark::DoNotOptimize(r);
    }
    stop = true;
    if (swapper.joinable()) {
        swapper.join();
    }
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    std::sort(cpu.begin(), cpu.end());
    state.counters["cpu_p99_us"] = cpu[cpu.size() * 99 / 100];
    state.counters["swaps"] = swaps.load();
}
BENCHMARK(BM_QueryDuringSwap)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->MinTime(3.0);

}  // namespace
