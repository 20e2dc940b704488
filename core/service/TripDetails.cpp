#include "core/service/TripDetails.h"

#include "core/json/JSON.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace velmo {

namespace {

bool flag(const JSON& object, const char* key) { return object[key].boolean().value_or(false); }

// A number of either kind as whole seconds.
std::int64_t seconds(const JSON& value) {
    if (const auto whole = value.integer())
        return *whole;
    return static_cast<std::int64_t>(std::llround(value.double_().value_or(0)));
}

struct Point {
    double x = 0;
    double y = 0;
};

// A plane where a degree of longitude is as long as at `lat0`: enough to compare distances along one trip.
Point plane(double lat, double lon, double lat0) { return {lon * std::cos(lat0 * std::numbers::pi / 180.0), lat}; }

// Where on the segment a..b the point p is nearest, 0 at a and 1 at b, and its squared distance.
std::pair<double, double> project(Point a, Point b, Point p) {
    const double dx = b.x - a.x;
    const double dy = b.y - a.y;
    const double length = dx * dx + dy * dy;
    const double t = length > 0 ? std::clamp(((p.x - a.x) * dx + (p.y - a.y) * dy) / length, 0.0, 1.0) : 0.0;
    const double ex = a.x + t * dx - p.x;
    const double ey = a.y + t * dy - p.y;
    return {t, ex * ex + ey * ey};
}

}  // namespace

std::optional<TripDetails> readTripDetails(const JSON& reply) {
    const JSON trip = reply["trip"];
    const auto stops = trip["stops"].array();
    if (trip.type() != JSON::Type::dictionary || !stops)
        return std::nullopt;
    TripDetails details;
    details.routeName = trip["routeName"].string().value_or("");
    details.routeType = trip["routeType"].string().value_or("");
    details.headsign = trip["headsign"].string().value_or("");
    for (const JSON& stop : *stops) {
        auto id = stop["stopId"].string();
        auto name = stop["stopName"].string();
        if (!id || !name)
            continue;
        details.stops.push_back({std::move(*id), std::move(*name), stop["lat"].double_().value_or(0),
                                 stop["lon"].double_().value_or(0), seconds(stop["arrivalTimestamp"]),
                                 seconds(stop["departureTimestamp"]), flag(stop, "gps"), flag(stop, "passed"),
                                 flag(stop, "selected"), flag(stop, "cancelled") || flag(stop, "tripCancelled")});
    }
    for (const auto& [position, text] : reply["warningText"])
        if (auto warning = text.string())
            details.warnings.push_back(std::move(*warning));
    return details;
}

std::optional<VehiclePosition> readVehiclePosition(const JSON& reply) {
    const JSON vehicle = reply["vehicle"];
    const auto lat = vehicle["lat"].double_();
    const auto lon = vehicle["lon"].double_();
    if (!lat || !lon)
        return std::nullopt;
    return VehiclePosition{*lat,
                           *lon,
                           seconds(vehicle["timestamp"]),
                           vehicle["label"].string().value_or(""),
                           vehicle["currentStopId"].string().value_or(""),
                           vehicle["status"].string().value_or("")};
}

std::optional<double> vehiclePlace(const std::vector<TripStop>& stops, const VehiclePosition& vehicle) {
    if (stops.empty())
        return std::nullopt;
    const double lat0 = stops.front().lat;
    auto at = [&](std::size_t i) { return plane(stops[i].lat, stops[i].lon, lat0); };
    const Point here = plane(vehicle.lat, vehicle.lon, lat0);
    const auto named = std::find_if(stops.begin(), stops.end(),
                                    [&](const TripStop& s) { return !s.id.empty() && s.id == vehicle.currentStopId; });
    if (named != stops.end()) {
        const auto index = static_cast<std::size_t>(named - stops.begin());
        if (vehicle.status == "STOPPED_AT" || index == 0)
            return static_cast<double>(index);
        // On its way to the named stop: between it and the one before, never on either, so
        // that the picture does not say it is standing there.
        const double t = project(at(index - 1), at(index), here).first;
        return static_cast<double>(index - 1) + std::clamp(t, 0.15, 0.85);
    }
    if (stops.size() == 1)
        return 0.0;
    double best = std::numeric_limits<double>::infinity();
    double place = 0;
    for (std::size_t i = 0; i + 1 < stops.size(); ++i) {
        const auto [t, distance] = project(at(i), at(i + 1), here);
        if (distance < best) {
            best = distance;
            place = static_cast<double>(i) + t;
        }
    }
    return place;
}

std::string vehiclePlaceText(const std::vector<TripStop>& stops, double place) {
    if (stops.empty())
        return {};
    const auto last = static_cast<double>(stops.size() - 1);
    place = std::clamp(place, 0.0, last);
    const auto before = static_cast<std::size_t>(std::floor(place));
    if (place == std::floor(place))
        return stops[before].name + " megállónál";
    return stops[before].name + " és " + stops[before + 1].name + " között";
}

std::string positionAgeText(std::int64_t ageSeconds) {
    const std::int64_t minutes = std::max<std::int64_t>(ageSeconds, 0) / 60;
    if (minutes == 0)
        return "épp most";
    if (minutes < 60)
        return std::to_string(minutes) + " perce";
    return std::to_string(minutes / 60) + " órája";
}

std::optional<std::int64_t> serviceClock(const std::vector<PlistMap>& departures) {
    std::optional<std::int64_t> low;
    std::optional<std::int64_t> high;
    for (const PlistMap& item : departures) {
        const auto time = item.find("departure");
        const auto left = item.find("departureMinutes");
        if (time == item.end() || left == item.end() || !time->second.ifInteger() || !left->second.ifString())
            continue;
        const std::int64_t departure = *time->second.ifInteger();
        const std::string& minutes = *left->second.ifString();
        std::int64_t whole = 0;
        if (minutes != "!!") {
            if (minutes.empty() || minutes.size() > 6 || minutes.find_first_not_of("0123456789") != std::string::npos)
                continue;
            whole = std::stoll(minutes);
        }
        // Whole minutes left m: now lies in (departure - (m + 1) min, departure - m min].
        const std::int64_t from = departure - (whole + 1) * 60;
        const std::int64_t to = departure - whole * 60;
        low = low ? std::max(*low, from) : from;
        high = high ? std::min(*high, to) : to;
    }
    if (!low || !high || *low > *high + 60)
        return std::nullopt;  // nothing told, or the items disagree
    return (*low + *high) / 2;
}

std::int64_t clockOffset(std::optional<std::int64_t> serviceNow, std::int64_t localNow) {
    if (!serviceNow || std::llabs(*serviceNow - localNow) <= 300)
        return 0;
    return *serviceNow - localNow;
}

std::int64_t stopTime(const TripStop& stop, bool last) { return last ? stop.arrival : stop.departure; }

std::string detailsErrorText(const std::optional<std::string>& code,
                             const std::function<std::string(std::string_view)>& toErrorString) {
    if (code == "NOTRIP")
        return "A járat nem található";
    if (code == "NOVEHICLE")
        return "Nincs elérhető járműpozíció";
    return toErrorString(code.value_or(""));
}

std::string base64(std::string_view bytes) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t chunk = 0;
        for (std::size_t k = 0; k < 3; ++k)
            chunk = (chunk << 8) | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0U);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[(chunk >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

}  // namespace velmo
