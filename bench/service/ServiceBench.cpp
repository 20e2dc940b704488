// A departures reply of 200 items: judging the envelope (which parses the body) and turning
// every item of "stopDates" into its item map, as a display does after each query.
#include "core/service/TarvoReply.h"
#include "core/service/TarvoRequest.h"

#include <benchmark/benchmark.h>

#include <sstream>
#include <string>

namespace {

using namespace velmo;

std::string departuresReply(int items) {
    std::string text = R"({"error":false,"cityName":"Budapest","cityURL":"https://bkk.example/",)"
                       R"("cityKey":"bp","stopDatesNearby":[],"stopDates":[)";
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        if (i > 0) {
            text += ',';
        }
        text += R"({"stopLat":47.49)" + n + R"(,"stopLon":19.04)" + n + R"(,"stopDistance":)" + n +
                R"(.4,"stopFavoriteId":"F0)" + n + R"(","stopUniqueId":"F0)" + n + R"(-a","stopNearest":)" +
                (i < 5 ? "true" : "false") + R"(,"stopFavorite":)" + (i % 7 == 0 ? "true" : "false") +
                R"(,"stopName":"Kossuth Lajos tér )" + n + R"(","routeName":")" + std::to_string(i % 120) +
                R"(","routeFavoriteId":"R)" + std::to_string(i % 120) + R"(","routeUniqueId":"R)" +
                std::to_string(i % 120) + "|" + std::to_string(i % 2) +
                R"(","routeFavorite":false,"routeType":"BUS",)"
                R"("tripHeadsign":"Újpest-Városkapu M","tripId":"B7)" +
                n + R"(","tripUniqueId":"B7)" + n + R"(@20250314","tripDepartureSeconds":)" +
                std::to_string(43200 + i * 30) + R"(,"tripDepartureTimestamp":)" + std::to_string(1741950000 + i * 30) +
                R"(,"tripDepartureMinutesText":")" + (i == 0 ? std::string("!!") : std::to_string(i % 60)) +
                R"(","tripDepartureGPS":)" + (i % 3 == 0 ? "true" : "false") + R"(,"warning":)" +
                (i % 10 == 0 ? R"(true,"warningText":["Pótlóbusz közlekedik"])" : "false") + R"(,"hasDetails":true})";
    }
    text += "]}";
    return text;
}

void BM_ReplyToItemMaps(benchmark::State& state) {
    const std::string reply = departuresReply(200);
    const Bytes body(reply.begin(), reply.end());
    std::ostringstream log;
    for (auto _ : state) {
        const Envelope envelope = judgeEnvelope(body, std::nullopt, std::nullopt);
        const PlistList items = TarvoRequest::toDictionaries((*envelope.reply)["stopDates"], log);
        benchmark::DoNotOptimize(items.data());
        if (items.size() != 200) {
            state.SkipWithError("an item was skipped");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_ReplyToItemMaps)->Unit(benchmark::kMicrosecond);

void BM_ItemMapsOnly(benchmark::State& state) {
    const std::string reply = departuresReply(200);
    const JSON list = JSON::parse(reply)["stopDates"];
    std::ostringstream log;
    for (auto _ : state) {
        const PlistList items = TarvoRequest::toDictionaries(list, log);
        benchmark::DoNotOptimize(items.data());
    }
    state.SetItemsProcessed(state.iterations() * 200);
}
BENCHMARK(BM_ItemMapsOnly)->Unit(benchmark::kMicrosecond);

}  // namespace
