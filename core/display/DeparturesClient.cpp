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

}  // namespace velmo
