#include "server/api/Reply.h"

#include <nlohmann/json.hpp>

namespace velmo::api {

namespace {

using nlohmann::json;

std::string dump(const json& j) {
    // Feeds may carry broken UTF-8; replace it rather than fail the reply.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

json item(const query::Departure& d) {
    return {
        {"stopLat", d.stopLat},
        {"stopLon", d.stopLon},
        {"stopDistance", d.stopDistance},
        {"stopFavoriteId", d.stopFavoriteId},
        {"stopUniqueId", d.stopUniqueId},
        {"stopNearest", d.stopNearest},
        {"stopFavorite", d.stopFavorite},
        {"stopName", d.stopName},
        {"routeName", d.routeName},
        {"routeFavoriteId", d.routeFavoriteId},
        {"routeUniqueId", d.routeUniqueId},
        {"routeFavorite", d.routeFavorite},
        {"routeType", d.routeType},
        {"tripHeadsign", d.tripHeadsign},
        {"tripId", d.tripId},
        {"tripUniqueId", d.tripUniqueId},
        {"tripDepartureSeconds", d.tripDepartureSeconds},
        {"tripDepartureTimestamp", d.tripDepartureTimestamp},
        {"tripDepartureMinutesText", d.tripDepartureMinutesText},
        {"tripDepartureGPS", d.tripDepartureGPS},
        {"warning", !d.warningText.empty()},
        {"warningText", d.warningText},
        {"hasDetails", true},
    };
}

json list(const std::vector<query::Departure>& departures) {
    json out = json::array();
    for (const auto& d : departures) {
        out.push_back(item(d));
    }
    return out;
}

}  // namespace

Reply renderError(const ApiError& error) {
    json j{{"error", true}, {"errorMessage", error.code}};
    const std::string text = errorText(error.code);
    if (!text.empty()) {
        j["errorMessageText"] = text;
    }
    return {error.status, dump(j)};
}

Reply renderNearby(const query::NearbyResult& r) {
    if (!r.error.empty()) {
        return renderError({r.error, 200});
    }
    const json j{{"error", false},
                 {"stopDates", list(r.stopDates)},
                 {"stopDatesNearby", list(r.stopDatesNearby)},
                 {"cityName", r.cityName},
                 {"cityURL", r.cityURL},
                 {"cityKey", r.cityKey}};
    return {200, dump(j)};
}

Reply renderVehicle(const realtime::VehicleState& v) {
    const json j{{"error", false},
                 {"vehicle",
                  {{"lat", v.lat},
                   {"lon", v.lon},
                   {"bearing", v.bearing ? json(*v.bearing) : json(nullptr)},
                   {"speed", v.speed ? json(*v.speed) : json(nullptr)},
                   {"timestamp", v.timestamp},
                   {"label", v.label},
                   {"currentStopId", v.currentStopId},
                   {"status", v.status}}}};
    return {200, dump(j)};
}

Reply renderTrip(const query::TripResult& r) {
    if (!r.error.empty()) {
        return renderError({r.error, 200});
    }
    json stops = json::array();
    for (const auto& s : r.stops) {
        stops.push_back({{"stopId", s.stopId},
                         {"stopName", s.stopName},
                         {"lat", s.lat},
                         {"lon", s.lon},
                         {"arrivalTimestamp", s.arrivalTimestamp},
                         {"departureTimestamp", s.departureTimestamp},
                         {"gps", s.gps},
                         {"passed", s.passed},
                         {"selected", s.selected}});
    }
    const json j{{"error", false},
                 {"trip",
                  {{"tripId", r.tripId},
                   {"routeName", r.routeName},
                   {"routeType", r.routeType},
                   {"headsign", r.headsign},
                   {"stops", stops}}},
                 {"warningText", r.warningText}};
    return {200, dump(j)};
}

}  // namespace velmo::api
