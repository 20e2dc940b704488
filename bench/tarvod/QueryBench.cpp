// Departures query at a dense point of a synthetic capital-sized network:
// 60 x 60 stops 250 m apart, 120 lines of 30 stops both ways, a run every
// 4 minutes from 05:00 to 24:00 (about 2 million stop times). Asks what the
// desktop client asks: 500 m around the point, the next 30 minutes, fetch
// radius 1500 m, three favourite routes and one favourite stop. Reports the
// median and 99th percentile of single queries.
//
// TARVOD_BENCH_FEED=path TARVOD_BENCH_AT=lat,lon TARVOD_BENCH_NOW=unix-seconds
// measures a real feed instead; TARVOD_BENCH_FAV_ROUTES and
// TARVOD_BENCH_FAV_STOPS (comma-separated ids) set its favourites.

#include "server/gtfs/Loader.h"
#include "server/query/Engine.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using namespace velmo;
using namespace std::chrono_literals;

namespace {

constexpr int kSide = 60;
constexpr double kLat0 = 47.45;
constexpr double kLon0 = 19.0;
constexpr double kStepLat = 250.0 / 111195.0;
constexpr double kStepLon = 250.0 / 75000.0;

std::vector<std::string> idList(const char* env, std::vector<std::string> fallback) {
    const char* v = std::getenv(env);
    if (v == nullptr) {
        return fallback;
    }
    std::vector<std::string> out;
    std::istringstream in(v);
    for (std::string id; std::getline(in, id, ',');) {
        if (!id.empty()) {
            out.push_back(id);
        }
    }
    return out;
}

// CPU time of this thread: unlike the wall clock it does not count the time
// other processes on a busy machine hold the core.
double threadCpuMicros() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

std::string time(int s) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

gtfs::MemoryDirectory syntheticCity() {
    gtfs::MemoryDirectory d;
    d.put("agency.txt", "agency_name,agency_url,agency_timezone\nSzintetikus,https://x.example,Europe/Budapest\n");
    std::string stops = "stop_id,stop_name,stop_lat,stop_lon\n";
    for (int y = 0; y < kSide; ++y) {
        for (int x = 0; x < kSide; ++x) {
            stops += "s" + std::to_string(y * kSide + x) + ",Megálló " + std::to_string(y * kSide + x) + "," +
                     std::to_string(kLat0 + y * kStepLat) + "," + std::to_string(kLon0 + x * kStepLon) + "\n";
        }
    }
    d.put("stops.txt", stops);
    d.put("calendar.txt",
          "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
          "ALL,1,1,1,1,1,1,1,20250101,20251231\n");
    std::string routes = "route_id,route_short_name,route_type\n";
    std::string trips = "route_id,service_id,trip_id,direction_id\n";
    std::string times = "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n";
    std::mt19937 rng(42);
    for (int r = 0; r < 120; ++r) {
        routes += "r" + std::to_string(r) + "," + std::to_string(r + 1) + "," + (r % 4 == 0 ? "0" : "3") + "\n";
        // A line runs straight across the grid, rows for even lines, columns for odd ones.
        const int lane = static_cast<int>(rng() % kSide);
        const int from = static_cast<int>(rng() % (kSide - 30));
        for (int dir = 0; dir < 2; ++dir) {
            for (int start = 5 * 3600; start < 24 * 3600; start += 240) {
                // Appended piece by piece: g++ 12 warns (-Wrestrict) about "literal" + std::string here.
                std::string id = "t";
                id += std::to_string(r) + "_" + std::to_string(dir) + "_" + std::to_string(start);
                trips += 'r';
                trips += std::to_string(r) + ",ALL," + id + "," + std::to_string(dir) + "\n";
                for (int k = 0; k < 30; ++k) {
                    const int step = dir == 0 ? from + k : from + 29 - k;
                    const int stop = r % 2 == 0 ? lane * kSide + step : step * kSide + lane;
                    times += id + "," + time(start + k * 90) + "," + time(start + k * 90) + ",s" +
                             std::to_string(stop) + "," + std::to_string(k + 1) + "\n";
                }
            }
        }
    }
    d.put("routes.txt", routes);
    d.put("trips.txt", trips);
    d.put("stop_times.txt", times);
    return d;
}

struct World {
    query::Snapshot snapshot;
    query::NearbyParams params;
    query::TimePoint now;
};

const World& world() {
    static const World w = [] {
        World out;
        const char* feed = std::getenv("TARVOD_BENCH_FEED");
        std::shared_ptr<const gtfs::Feed> loaded;
        if (feed != nullptr) {
            loaded = gtfs::loadFeed(*gtfs::openDirectory(feed));
            double lat = 0;
            double lon = 0;
            char comma = 0;
            std::istringstream(std::getenv("TARVOD_BENCH_AT") ? std::getenv("TARVOD_BENCH_AT") : "0,0") >> lat >>
                comma >> lon;
            out.params.lat = lat;
            out.params.lon = lon;
            out.now = query::TimePoint(std::chrono::seconds(
                std::atoll(std::getenv("TARVOD_BENCH_NOW") ? std::getenv("TARVOD_BENCH_NOW") : "0")));
        } else {
            loaded = gtfs::loadFeed(syntheticCity());
            out.params.lat = kLat0 + kSide / 2 * kStepLat;
            out.params.lon = kLon0 + kSide / 2 * kStepLon;
            // Friday 14 March 2025, 08:00 in Budapest.
            out.now = date::sys_days(date::year(2025) / 3 / 14) + 7h;
        }
        out.snapshot.cities.push_back(query::City::build({"bench", "", "", ""}, loaded));
        out.params.fetchRadius = 1500;
        out.params.realRadius = 500;
        out.params.minutes = 30;
        out.params.favSortMode = 2;
        out.params.favRoutes = idList("TARVOD_BENCH_FAV_ROUTES", {"r1", "r2", "r3"});
        out.params.favStops = idList("TARVOD_BENCH_FAV_STOPS", {"s1830"});
        return out;
    }();
    return w;
}

void BM_NearbyDensePoint(benchmark::State& state) {
    const World& w = world();
    std::vector<double> micros;
    std::vector<double> cpuMicros;
    std::size_t departures = 0;
    std::size_t nearest = 0;
    for (auto _ : state) {
        const double cpuStart = threadCpuMicros();
        const auto start = std::chrono::steady_clock::now();
        auto r = query::nearby(w.snapshot, w.params, w.now);
        micros.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        cpuMicros.push_back(threadCpuMicros() - cpuStart);
        departures = r.stopDates.size();
        nearest = r.stopDatesNearby.size();
        benchmark::DoNotOptimize(r);
    }
    const auto median = [](std::vector<double>& v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    const auto p99 = [](const std::vector<double>& sorted) {
        return sorted[std::min(sorted.size() - 1, sorted.size() * 99 / 100)];
    };
    state.counters["median_us"] = median(micros);
    state.counters["p99_us"] = p99(micros);
    state.counters["cpu_median_us"] = median(cpuMicros);
    state.counters["cpu_p99_us"] = p99(cpuMicros);
    state.counters["departures"] = static_cast<double>(departures);
    state.counters["nearby_items"] = static_cast<double>(nearest);
}
BENCHMARK(BM_NearbyDensePoint)->Unit(benchmark::kMicrosecond);

}  // namespace
