#include "core/display/DeparturesClient.h"

namespace velmo {

void DeparturesClient::getMoreInfo(const std::string&, const std::string&, const std::string&, const std::string&,
                                   DetailsCallback callback) {
    callback("DOWNLOADERROR", std::nullopt);
}

void DeparturesClient::getVehicleInfo(const std::string&, const std::string&, const std::string&, const std::string&,
                                      DetailsCallback callback) {
    callback("DOWNLOADERROR", std::nullopt);
}

PlistList itemsFromList(const DeparturesClient& client, const JSON& list) {
    PlistList items;
    for (const auto& [key, element] : list) {
        if (auto item = client.toDictionary(element))
            items.emplace_back(std::move(*item));
    }
    return items;
}

void DeparturesClient::searchStops(const std::string& /*text*/, StopsCallback callback) {
    callback("DOWNLOADERROR", {});
}

std::vector<StopChoice> stopChoicesFromReply(const JSON& reply) {
    std::vector<StopChoice> stops;
    for (const auto& [position, stop] : reply["stops"]) {
        const auto name = stop["name"].string();
        const auto lat = stop["lat"].double_();
        const auto lon = stop["lon"].double_();
        if (name && lat && lon) {
            stops.push_back({*name, stop["cityName"].string().value_or(""), *lat, *lon});
        }
    }
    return stops;
}

}  // namespace velmo
