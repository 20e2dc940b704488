#include "tests/support/display/DisplayTesting.h"

namespace velmo::test {

void FakeDeparturesClient::getWithLocation(bool, Callback callback) { pending.push_back(std::move(callback)); }

std::optional<PlistMap> FakeDeparturesClient::toDictionary(const JSON& departure) const {
    if (departure.type() != JSON::Type::dictionary)
        return std::nullopt;
    PlistMap item;
    for (const auto& [key, value] : departure) {
        if (auto text = value.string())
            item.emplace(key, *text);
        else if (value.type() == JSON::Type::boolean)
            item.emplace(key, value.boolValue());
        else if (auto number = value.integer())
            item.emplace(key, *number);
    }
    return item;
}

void FakeDeparturesClient::getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                                       const std::string& routeId, DetailsCallback callback) {
    details.push_back({"more", city, tripId, stopId, routeId, std::move(callback)});
}

void FakeDeparturesClient::getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                                          const std::string& routeId, DetailsCallback callback) {
    details.push_back({"vehicle", city, tripId, stopId, routeId, std::move(callback)});
}

void FakeDeparturesClient::answer(std::optional<std::string> error, std::optional<JSON> first,
                                  std::optional<JSON> second) {
    ASSERT_FALSE(pending.empty()) << "no query to answer";
    Callback callback = std::move(pending.front());
    pending.erase(pending.begin());
    callback(std::move(error), std::move(first), std::move(second), "Budapest", std::nullopt, "bp", std::nullopt);
}

JSON departureList(int count, int first) {
    JSON::Array list;
    for (int i = first; i < first + count; ++i) {
        const std::string n = std::to_string(i);
        list.push_back(JSON{{"shortName", JSON("L" + n)},
                            {"name", JSON("Stop " + n)},
                            {"tripHeadsign", JSON("Dir " + n)},
                            {"departureMinutes", JSON(std::to_string(i + 1))},
                            {"departureGPS", JSON(false)},
                            {"type", JSON("BUS")},
                            {"favStop", JSON(false)},
                            {"favRoute", JSON(false)},
                            {"stopId", JSON("S" + n)},
                            {"routeId", JSON("R" + n)}});
    }
    return JSON(list);
}

PlistMap departureItem(const std::string& line, const std::string& minutes, bool gps, bool favStop, bool favRoute) {
    // clang-format off
    return PlistMap{{"shortName", line}, {"name", "Deák Ferenc tér"}, {"tripHeadsign", "Örs vezér tere"},
                    {"departureMinutes", minutes}, {"departureGPS", gps}, {"type", "TRAM"}, {"favStop", favStop},
                    {"favRoute", favRoute}, {"stopId", "F01"}, {"routeId", "3040"}};
    // clang-format on
}

}  // namespace velmo::test
