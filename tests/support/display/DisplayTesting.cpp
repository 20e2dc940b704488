#include "tests/support/display/DisplayTesting.h"

namespace velmo::test {

void FakeDeparturesClient::getWithLocation(bool skip_nearby, Callback callback) {
    skipNearby.push_back(skip_nearby);
    pending.push_back(std::move(callback));
}

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

void FakeDeparturesClient::answer(std::optional<std::string> error, std::optional<JSON> first,
                                  std::optional<JSON> second) {
    ASSERT_FALSE(pending.empty()) << "no query to answer";
    Callback callback = std::move(pending.front());
    pending.erase(pending.begin());
    callback(std::move(error), std::move(first), std::move(second), "Budapest", std::nullopt, "bp", std::nullopt);
}

JSON departureJson(int index, bool gps) {
    const std::string n = std::to_string(index);
    return JSON{{"shortName", JSON("L" + n)},       {"name", JSON("Stop " + n)},
                {"tripHeadsign", JSON("Dir " + n)}, {"departureMinutes", JSON(std::to_string(index + 1))},
                {"departureGPS", JSON(gps)},        {"type", JSON("BUS")},
                {"favStop", JSON(false)},           {"favRoute", JSON(false)},
                {"stopId", JSON("S" + n)},          {"routeId", JSON("R" + n)}};
}

JSON departureList(int count, int first) {
    JSON::Array list;
    for (int i = 0; i < count; ++i)
        list.push_back(departureJson(first + i));
    return JSON(list);
}

PlistMap departureItem(const std::string& line, const std::string& minutes, bool gps, bool favStop, bool favRoute) {
    return PlistMap{{"shortName", line},
                    {"name", "Deák Ferenc tér"},
                    {"tripHeadsign", "Örs vezér tere"},
                    {"departureMinutes", minutes},
                    {"departureGPS", gps},
                    {"type", "TRAM"},
                    {"favStop", favStop},
                    {"favRoute", favRoute},
                    {"stopId", "F01"},
                    {"routeId", "3040"}};
}

}  // namespace velmo::test
