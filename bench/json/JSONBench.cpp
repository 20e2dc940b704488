// Parsing a departures reply of 200 items and reading every member of every item the way
// the departures client does: key subscripts and optional accessors.
#include "core/json/JSON.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

using velmo::JSON;

std::string departuresReply(int items) {
    std::string text = R"({"error":false,"city":"Budapest","cityURL":"https://example.org/bp",)"
                       R"("cityKey":"bp","stopDatesNearby":[],"stopDates":[)";
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        if (i > 0)
            text += ',';
        text += R"({"stopLat":47.49)" + n + R"(,"stopLon":19.04)" + n + R"(,"stopName":"Kossuth Lajos tér )" + n +
                R"(","stopId":"F0)" + n + R"(","stopDistance":)" + n + R"(,"stopIsFavorite":)" +
                (i % 7 == 0 ? "true" : "false") + R"(,"routeShortName":")" + std::to_string(i % 120) +
                R"(","routeType":)" + std::to_string(i % 4) +
                R"(,"routeColor":"009EE3","routeTextColor":"FFFFFF","routeIsFavorite":false,)"
                R"("tripId":"B7)" +
                n +
                R"(","tripHeadsign":"Újpest-Városkapu M",)"
                R"("tripDirection":)" +
                std::to_string(i % 2) + R"(,"tripDepartureMinutes":)" + std::to_string(i % 60) +
                R"(,"tripDepartureMinutesText":")" + std::to_string(i % 60) + R"( perc","tripDepartureTime":"12:)" +
                std::to_string(10 + i % 50) + R"(","tripDepartureGPS":)" + (i % 3 == 0 ? "true" : "false") +
                R"(,"tripDelaySeconds":)" + std::to_string(i % 300 - 60) +
                R"(,"tripWheelchair":true,"tripBikes":false,"vehicleLabel":"V)" + n + R"(","warningText":[]})";
    }
    text += "]}";
    return text;
}

// Reads every member through the accessor a client would use for its kind.
std::size_t walkItem(const JSON& item) {
    std::size_t seen = 0;
    for (const auto& [key, value] : item) {
        switch (value.type()) {
            case JSON::Type::string: seen += value.string()->size(); break;
            case JSON::Type::number:
                seen += value.number()->isFloating() ? static_cast<std::size_t>(*value.double_() > 0)
                                                     : static_cast<std::size_t>(*value.integer() & 1);
                break;
            case JSON::Type::boolean: seen += *value.boolean() ? 1 : 0; break;
            case JSON::Type::array: seen += value.count(); break;
            default: break;
        }
        seen += key.size();
    }
    return seen;
}

void BM_ParseAndWalkReply(benchmark::State& state) {
    const std::string text = departuresReply(200);
    for (auto _ : state) {
        const JSON reply = JSON::parse(text, {.allowFragments = true});
        std::size_t seen = 0;
        // Named members of each item, as a conversion to the item map reads them.
        for (const JSON& item : reply["stopDates"].arrayValue()) {
            seen += item["stopName"].string().value_or("").size();
            seen += static_cast<std::size_t>(item["stopLat"].double_().value_or(0) > 0);
            seen += static_cast<std::size_t>(item["tripDepartureGPS"].boolean().value_or(false));
            seen += item["tripDepartureMinutesText"].stringValue().size();
            seen += item[{"warningText", 0}].string().value_or("").size();
            seen += walkItem(item);
        }
        benchmark::DoNotOptimize(seen);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_ParseAndWalkReply)->Unit(benchmark::kMicrosecond);

void BM_ParseReplyOnly(benchmark::State& state) {
    const std::string text = departuresReply(200);
    for (auto _ : state)
        benchmark::DoNotOptimize(JSON::parse(text));
}
BENCHMARK(BM_ParseReplyOnly)->Unit(benchmark::kMicrosecond);

void BM_BuildAndSerialiseRequestBody(benchmark::State& state) {
    for (auto _ : state) {
        JSON body{{"lat", 47.4979f}, {"lon", 19.0402f}, {"radius", 500}, {"radiusFavorite", 1500}};
        body.set("minutes", 30);
        body.set("favoriteStops", JSON::Array{"F01", "F02", "F03"});
        body.set("favoriteTrips", JSON::Array{"B71", "B72"});
        benchmark::DoNotOptimize(body.rawData());
    }
}
BENCHMARK(BM_BuildAndSerialiseRequestBody)->Unit(benchmark::kMicrosecond);

}  // namespace
