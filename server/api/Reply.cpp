#include "server/api/Reply.h"

#include "server/api/JsonText.h"

#include <nlohmann/json.hpp>

#include <bit>
#include <cstdint>
#include <string_view>

namespace velmo::api {

namespace {

using nlohmann::json;
using namespace std::string_view_literals;

std::string dump(const json& j) {
    // Feeds may carry broken UTF-8; replace it rather than fail the reply.
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The departures of one reply share a handful of stops: each stop's coordinates are written
// once and copied after (the shortest round-trip digits are the costly part of an item).
class CoordinateTexts {
public:
    void append(std::string& out, double lat, double lon) {
        const Key key{std::bit_cast<std::uint64_t>(lat), std::bit_cast<std::uint64_t>(lon)};
        for (const auto& [k, text] : seen_) {
            if (k == key) {
                out += text;
                return;
            }
        }
        std::string text;
        text += ",\"stopLat\":"sv;
        json_text::appendDouble(text, lat);
        text += ",\"stopLon\":"sv;
        json_text::appendDouble(text, lon);
        out += text;
        if (seen_.size() < kKept) {
            seen_.emplace_back(key, std::move(text));
        }
    }

private:
    using Key = std::pair<std::uint64_t, std::uint64_t>;
    static constexpr std::size_t kKept = 64;
    std::vector<std::pair<Key, std::string>> seen_;
};

// The nearby reply is the hot one: written straight into the string, members
// in the order nlohmann::json (std::map) gave them, i.e. sorted by name.
void appendItem(std::string& out, const query::Departure& d, CoordinateTexts& coordinates) {
    using namespace json_text;
    out += "{\"hasDetails\":true,\"routeFavorite\":"sv;
    appendBool(out, d.routeFavorite);
    out += ",\"routeFavoriteId\":"sv;
    appendString(out, d.routeFavoriteId);
    out += ",\"routeName\":"sv;
    appendString(out, d.routeName);
    out += ",\"routeType\":"sv;
    appendString(out, d.routeType);
    out += ",\"routeUniqueId\":"sv;
    appendString(out, d.routeUniqueId);
    out += ",\"stopDistance\":"sv;
    appendInt(out, d.stopDistance);
    out += ",\"stopFavorite\":"sv;
    appendBool(out, d.stopFavorite);
    out += ",\"stopFavoriteId\":"sv;
    appendString(out, d.stopFavoriteId);
    coordinates.append(out, d.stopLat, d.stopLon);
    out += ",\"stopName\":"sv;
    appendString(out, d.stopName);
    out += ",\"stopNearest\":"sv;
    appendBool(out, d.stopNearest);
    out += ",\"stopUniqueId\":"sv;
    appendString(out, d.stopUniqueId);
    out += ",\"tripCancelled\":"sv;
    appendBool(out, d.tripCancelled);
    out += ",\"tripDepartureGPS\":"sv;
    appendBool(out, d.tripDepartureGPS);
    out += ",\"tripDepartureMinutesText\":"sv;
    appendString(out, d.tripDepartureMinutesText);
    out += ",\"tripDepartureSeconds\":"sv;
    appendInt(out, d.tripDepartureSeconds);
    out += ",\"tripDepartureTimestamp\":"sv;
    appendInt(out, d.tripDepartureTimestamp);
    out += ",\"tripHeadsign\":"sv;
    appendString(out, d.tripHeadsign);
    out += ",\"tripId\":"sv;
    appendString(out, d.tripId);
    out += ",\"tripUniqueId\":"sv;
    appendString(out, d.tripUniqueId);
    out += ",\"warning\":"sv;
    appendBool(out, !d.warningText.empty());
    out += ",\"warningText\":["sv;
    for (std::size_t i = 0; i < d.warningText.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendString(out, d.warningText[i]);
    }
    out += "]}"sv;
}

void appendList(std::string& out, const std::vector<query::Departure>& departures) {
    CoordinateTexts coordinates;
    out += '[';
    for (std::size_t i = 0; i < departures.size(); ++i) {
        if (i > 0) {
            out += ',';
        }
        appendItem(out, departures[i], coordinates);
    }
    out += ']';
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
    using namespace json_text;
    std::string out;
    out.reserve(256 + 640 * (r.stopDates.size() + r.stopDatesNearby.size()));
    out += "{\"cityKey\":"sv;
    appendString(out, r.cityKey);
    out += ",\"cityName\":"sv;
    appendString(out, r.cityName);
    out += ",\"cityURL\":"sv;
    appendString(out, r.cityURL);
    out += ",\"error\":false,\"stopDates\":"sv;
    appendList(out, r.stopDates);
    out += ",\"stopDatesNearby\":"sv;
    appendList(out, r.stopDatesNearby);
    out += '}';
    return {200, std::move(out)};
}

Reply renderVehicle(const query::VehicleResult& r) {
    if (!r.error.empty()) {
        return renderError({r.error, 200});
    }
    const auto& v = r.vehicle;
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
                         {"cancelled", s.cancelled},
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

Reply renderHealth(const query::Snapshot& snapshot, const std::vector<realtime::SourceStatus>& sources,
                   query::TimePoint now, const std::vector<FeedStatus>& feeds) {
    const auto isoDate = [](date::sys_days d) { return date::format("%F", d); };
    json cities = json::array();
    for (const auto& c : snapshot.cities) {
        const auto& f = *c->feed;
        json live = json::array();
        std::optional<std::int64_t> age;  // of the freshest data the city holds
        for (const auto& s : sources) {
            // A source of one feed of a city of several is named "<city>/<feed>".
            if (s.city != c->key && !s.city.starts_with(c->key + "/")) {
                continue;
            }
            const auto sourceAge =
                s.dataTime ? std::optional(now.time_since_epoch().count() - *s.dataTime) : std::nullopt;
            if (sourceAge && (!age || *sourceAge < *age)) {
                age = sourceAge;
            }
            live.push_back({{"source", s.location},
                            {"lastSuccess", s.lastSuccess ? json(*s.lastSuccess) : json()},
                            {"ageSeconds", sourceAge ? json(*sourceAge) : json()},
                            {"lastError", s.lastError},
                            {"failures", s.failures}});
        }
        json files = json::array();
        for (const auto& file : feeds) {
            if (file.city == c->key) {
                files.push_back({{"feed", file.feed},
                                 {"source", file.source},
                                 {"ageSeconds", file.ageSeconds ? json(*file.ageSeconds) : json()},
                                 {"lastError", file.lastError}});
            }
        }
        cities.push_back({{"cityKey", c->key},
                          {"cityName", c->name},
                          {"feedStart", isoDate(f.info.startDate.value_or(f.calendar.firstDay()))},
                          {"feedEnd", isoDate(f.info.endDate.value_or(f.calendar.lastDay()))},
                          {"stops", f.stops.size()},
                          {"trips", f.trips.size()},
                          {"realtimeAgeSeconds", age ? json(*age) : json()},
                          {"realtime", live},
                          {"feeds", files}});
    }
    json j{{"error", false}, {"now", now.time_since_epoch().count()}, {"cities", cities}};
    if (snapshot.cities.empty()) {
        // Running, but of no use yet: a load balancer must not send queries here.
        j["warning"] = "no city configured";
        return {503, dump(j)};
    }
    return {200, dump(j)};
}

}  // namespace velmo::api
