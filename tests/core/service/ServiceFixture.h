#pragma once
// What the departures-client tests share: a recorder for the departures callback and a
// departure item with every member the client reads.

#include "core/json/JSON.h"

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

namespace velmo::test {

// Everything one departures callback received, and how often it ran.
struct DeparturesReply {
    int calls = 0;
    std::optional<std::string> error, cityName, cityURL, cityKey, reserved;
    std::optional<JSON> stopDates, stopDatesNearby;

    template <typename Callback>
    Callback recorder() {
        return [this](auto e, auto lists, auto nearby, auto name, auto url, auto key, auto r) {
            ++calls;
            std::tie(error, stopDates, stopDatesNearby, cityName, cityURL, cityKey, reserved) =
                std::tie(e, lists, nearby, name, url, key, r);
        };
    }
};

inline nlohmann::json sampleDeparture() {
    return nlohmann::json::parse(R"({
        "stopLat": 47.497913, "stopLon": 19.040236, "stopDistance": 123.7, "stopFavoriteId": "F01",
        "stopUniqueId": "F01-a", "stopNearest": true, "stopFavorite": false, "stopName": "Deák Ferenc tér",
        "routeName": "47", "routeFavoriteId": "R47", "routeUniqueId": "R47|0", "routeFavorite": true,
        "routeType": "TRAM", "tripHeadsign": "Budafok", "tripId": "T1", "tripUniqueId": "T1@20250314",
        "tripDepartureSeconds": 30600, "tripDepartureTimestamp": 1741935600, "tripDepartureMinutesText": "3",
        "tripDepartureGPS": true, "warning": false, "hasDetails": true})");
}

}  // namespace velmo::test
