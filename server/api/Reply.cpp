#include "server/api/Reply.h"

#include "server/api/JsonText.h"

#include <nlohmann/json.hpp>

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
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
    // ',"stopLat":…,"stopLon":…' for one position; valid until the next call.
    const std::string& text(double lat, double lon) {
        const Key key{std::bit_cast<std::uint64_t>(lat), std::bit_cast<std::uint64_t>(lon)};
        for (const auto& [k, text] : seen_) {
            if (k == key) {
                return text;
            }
        }
        std::string text;
        text += ",\"stopLat\":"sv;
        json_text::appendDouble(text, lat);
        text += ",\"stopLon\":"sv;
        json_text::appendDouble(text, lon);
        if (seen_.size() == kKept) {
            spare_ = std::move(text);
            return spare_;
        }
        return seen_.emplace_back(key, std::move(text)).second;
    }

private:
    using Key = std::pair<std::uint64_t, std::uint64_t>;
    static constexpr std::size_t kKept = 64;
    std::vector<std::pair<Key, std::string>> seen_;
    std::string spare_;
};

template <std::size_t N>
char* put(char* out, const char (&literal)[N]) {
    std::memcpy(out, literal, N - 1);
    return out + N - 1;
}

char* put(char* out, std::string_view text) {
    if (!text.empty()) {  // an empty view may have no data at all, which memcpy must not get
        std::memcpy(out, text.data(), text.size());
    }
    return out + text.size();
}

char* putBool(char* out, bool value) { return value ? put(out, "true") : put(out, "false"); }

// Member names, punctuation, numbers and booleans of one item take fewer bytes than this.
constexpr std::size_t kItemFixedBytes = 1024;

std::size_t maxItemBytes(const query::Departure& d, const std::string& position) {
    using json_text::maxStringBytes;
    std::size_t n = kItemFixedBytes + position.size();
    for (const std::string_view text :
         {d.routeFavoriteId, d.routeName, std::string_view(d.routeType), std::string_view(d.routeUniqueId),
          d.stopFavoriteId, d.stopName, d.stopUniqueId, std::string_view(d.tripDepartureMinutesText), d.tripHeadsign,
          d.tripId, std::string_view(d.tripUniqueId)}) {
        n += maxStringBytes(text.size());
    }
    for (const auto& text : d.warningText) {
        n += maxStringBytes(text.size()) + 1;
    }
    return n;
}

// The nearby reply is the hot one: each item is written into a buffer that surely holds it and
// appended whole, members in the order nlohmann::json (std::map) gave them, i.e. sorted by name.
void appendItem(std::string& out, const query::Departure& d, CoordinateTexts& coordinates) {
    using json_text::writeInt;
    using json_text::writeString;
    const std::string& position = coordinates.text(d.stopLat, d.stopLon);
    const std::size_t room = maxItemBytes(d, position);
    std::array<char, 8192> onStack;  // enough for all but very long texts
    std::unique_ptr<char[]> onHeap;
    if (room > onStack.size()) {
        onHeap = std::make_unique_for_overwrite<char[]>(room);
    }
    char* const start = onHeap ? onHeap.get() : onStack.data();
    char* p = start;
    p = put(p, "{\"hasDetails\":true,\"routeFavorite\":");
    p = putBool(p, d.routeFavorite);
    p = put(p, ",\"routeFavoriteId\":");
    p = writeString(p, d.routeFavoriteId);
    p = put(p, ",\"routeName\":");
    p = writeString(p, d.routeName);
    p = put(p, ",\"routeType\":");
    p = writeString(p, d.routeType);
    p = put(p, ",\"routeUniqueId\":");
    p = writeString(p, d.routeUniqueId);
    p = put(p, ",\"stopDistance\":");
    p = writeInt(p, d.stopDistance);
    p = put(p, ",\"stopFavorite\":");
    p = putBool(p, d.stopFavorite);
    p = put(p, ",\"stopFavoriteId\":");
    p = writeString(p, d.stopFavoriteId);
    p = put(p, position);
    p = put(p, ",\"stopName\":");
    p = writeString(p, d.stopName);
    p = put(p, ",\"stopNearest\":");
    p = putBool(p, d.stopNearest);
    p = put(p, ",\"stopUniqueId\":");
    p = writeString(p, d.stopUniqueId);
    p = put(p, ",\"tripCancelled\":");
    p = putBool(p, d.tripCancelled);
    p = put(p, ",\"tripDepartureGPS\":");
    p = putBool(p, d.tripDepartureGPS);
    p = put(p, ",\"tripDepartureMinutesText\":");
    p = writeString(p, d.tripDepartureMinutesText);
    p = put(p, ",\"tripDepartureSeconds\":");
    p = writeInt(p, d.tripDepartureSeconds);
    p = put(p, ",\"tripDepartureTimestamp\":");
    p = writeInt(p, d.tripDepartureTimestamp);
    p = put(p, ",\"tripHeadsign\":");
    p = writeString(p, d.tripHeadsign);
    p = put(p, ",\"tripId\":");
    p = writeString(p, d.tripId);
    p = put(p, ",\"tripUniqueId\":");
    p = writeString(p, d.tripUniqueId);
    p = put(p, ",\"warning\":");
    p = putBool(p, !d.warningText.empty());
    p = put(p, ",\"warningText\":[");
    for (std::size_t i = 0; i < d.warningText.size(); ++i) {
        if (i > 0) {
            *p++ = ',';
        }
        p = writeString(p, d.warningText[i]);
    }
    p = put(p, "]}");
    out.append(start, p);
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
