#include "server/api/Request.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <charconv>
#include <cmath>

namespace velmo::api {

namespace {

using nlohmann::json;

ApiError badRequest() { return {kBadRequest, 400}; }

std::optional<long long> parseInteger(std::string_view s) {
    long long v = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || ptr != s.data() + s.size() || s.empty()) {
        return std::nullopt;
    }
    return v;
}

// A JSON number as a finite double.
std::optional<double> number(const json& body, const char* name) {
    const auto it = body.find(name);
    if (it == body.end() || !it->is_number()) {
        return std::nullopt;
    }
    const double v = it->get<double>();
    return std::isfinite(v) ? std::optional<double>(v) : std::nullopt;
}

// An integer member; fractions are cut toward zero, huge values saturate
// (the engine clamps them to its ranges anyway).
std::optional<std::int64_t> integer(const json& body, const char* name) {
    const auto v = number(body, name);
    if (!v) {
        return std::nullopt;
    }
    return static_cast<std::int64_t>(std::clamp(std::trunc(*v), -1e15, 1e15));
}

std::optional<std::vector<std::string>> strings(const json& body, const char* name) {
    const auto it = body.find(name);
    if (it == body.end() || !it->is_array()) {
        return std::nullopt;
    }
    std::vector<std::string> out;
    out.reserve(it->size());
    for (const auto& e : *it) {
        if (!e.is_string()) {
            return std::nullopt;
        }
        out.push_back(e.get<std::string>());
    }
    return out;
}

std::optional<std::string> string(const json& body, const char* name) {
    const auto it = body.find(name);
    if (it == body.end() || !it->is_string()) {
        return std::nullopt;
    }
    return it->get<std::string>();
}

}  // namespace

std::string errorText(const std::string& code) {
    if (code == kBadRequest) {
        return "Hibás kérés";
    }
    if (code == query::kNoTrip) {
        return "A járat nem található";
    }
    if (code == query::kNoVehicle) {
        return "Nincs elérhető járműpozíció";
    }
    return {};
}

int compareVersions(std::string_view a, std::string_view b) {
    while (!a.empty() || !b.empty()) {
        const auto da = a.find('.');
        const auto db = b.find('.');
        const auto pa = parseInteger(a.substr(0, da)).value_or(a.empty() ? 0 : -1);
        const auto pb = parseInteger(b.substr(0, db)).value_or(b.empty() ? 0 : -1);
        if (pa != pb) {
            return pa < pb ? -1 : 1;
        }
        a = da == std::string_view::npos ? std::string_view() : a.substr(da + 1);
        b = db == std::string_view::npos ? std::string_view() : b.substr(db + 1);
    }
    return 0;
}

std::optional<ApiError> checkClient(const HeaderLookup& header, const VersionPolicy& policy) {
    if (header("X-APILEVEL") != "2") {
        return ApiError{kNewStable, 200};
    }
    const auto it = policy.find(header("X-APP"));
    if (it == policy.end()) {
        return std::nullopt;
    }
    const MinimumVersion& min = it->second;
    if (!min.version.empty() && compareVersions(header("X-APPVERSION"), min.version) < 0) {
        return ApiError{kNewStable, 200};
    }
    if (min.build > 0 && parseInteger(header("X-APPBUILD")).value_or(0) < min.build) {
        return ApiError{kNewTestflight, 200};
    }
    return std::nullopt;
}

std::variant<query::NearbyParams, ApiError> parseNearby(std::string_view body) {
    const json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return badRequest();
    }
    const auto method = string(j, "method");
    const auto lat = number(j, "lat");
    const auto lon = number(j, "lon");
    const auto fetch = integer(j, "fetchRadius");
    const auto real = integer(j, "realRadius");
    const auto minutes = integer(j, "minutes");
    const auto mode = integer(j, "favSortMode");
    auto routes = strings(j, "favRoutes");
    auto stops = strings(j, "favStops");
    if (method != "TRIPSFORLOCATION" || !lat || !lon || !fetch || !real || !minutes || !mode || !routes || !stops ||
        std::abs(*lat) > 90 || std::abs(*lon) > 180) {
        return badRequest();
    }
    query::NearbyParams p;
    p.lat = *lat;
    p.lon = *lon;
    p.fetchRadius = *fetch;
    p.realRadius = *real;
    p.minutes = *minutes;
    p.favSortMode = *mode;
    p.favRoutes = std::move(*routes);
    p.favStops = std::move(*stops);
    p.clamp();
    return p;
}

std::optional<std::string> decodeBase64(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    if (text.empty()) {
        return std::string();
    }
    std::string out(text.size() / 4 * 3, '\0');
    // EVP_DecodeBlock skips surrounding blanks; our strict form has none.
    for (const char c : text) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            return std::nullopt;
        }
    }
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) {
        return std::nullopt;
    }
    // The block decoder counts padding as zero bytes; '=' may only end the text.
    const auto pad = text.find('=');
    std::size_t padding = 0;
    if (pad != std::string_view::npos) {
        padding = text.size() - pad;
        if (padding > 2 || text.substr(pad).find_first_not_of('=') != std::string_view::npos) {
            return std::nullopt;
        }
    }
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::variant<DetailsRequest, ApiError> parseDetails(std::string_view body) {
    const json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return badRequest();
    }
    const auto city = string(j, "city");
    const auto trip = string(j, "tripIdB64");
    const auto stop = string(j, "stopIdB64");
    const auto route = string(j, "routeIdB64");
    if (!city || !trip || !stop || !route) {
        return badRequest();
    }
    auto tripId = decodeBase64(*trip);
    auto stopId = decodeBase64(*stop);
    auto routeId = decodeBase64(*route);
    if (!tripId || !stopId || !routeId) {
        return badRequest();
    }
    return DetailsRequest{*city, std::move(*tripId), std::move(*stopId), std::move(*routeId)};
}

}  // namespace velmo::api
