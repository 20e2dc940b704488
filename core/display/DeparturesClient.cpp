#include "core/display/DeparturesClient.h"

namespace velmo {

PlistList itemsFromList(const DeparturesClient& client, const JSON& list) {
    PlistList items;
    for (const auto& [key, element] : list) {
        if (auto item = client.toDictionary(element))
            items.emplace_back(std::move(*item));
    }
    return items;
}

}  // namespace velmo
