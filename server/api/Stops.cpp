#include "server/api/Stops.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>

namespace velmo::api {

namespace {
constexpr std::size_t kMaxTextBytes = 200;
}

std::variant<StopsRequest, ApiError> parseStops(std::string_view body) {
    using nlohmann::json;
    const ApiError bad{kBadRequest, 400};
    const json j = json::parse(body, nullptr, false);
    if (j.is_discarded() || !j.is_object()) {
        return bad;
    }
    StopsRequest r;
    const auto text = j.find("text");
    if (text == j.end() || !text->is_string()) {
        return bad;
    }
    r.text = text->get<std::string>();
    if (r.text.size() > kMaxTextBytes || r.text.find_first_not_of(" \t\r\n") == std::string::npos) {
        return bad;
    }
    r.text = r.text.substr(r.text.find_first_not_of(" \t\r\n"));
    r.text.erase(r.text.find_last_not_of(" \t\r\n") + 1);
    if (const auto city = j.find("city"); city != j.end()) {
        if (!city->is_string()) {
            return bad;
        }
        r.city = city->get<std::string>();
    }
    if (const auto limit = j.find("limit"); limit != j.end()) {
        if (!limit->is_number() || !std::isfinite(limit->get<double>())) {
            return bad;
        }
        r.limit = static_cast<std::size_t>(std::clamp(std::trunc(limit->get<double>()), 1.0, double(kMaxStopsLimit)));
    }
    return r;
}

Reply renderStops(const std::vector<query::StopMatch>& matches) {
    using nlohmann::json;
    json stops = json::array();
    for (const auto& m : matches) {
        stops.push_back({{"city", m.cityKey},
                         {"cityName", m.cityName},
                         {"id", m.id},
                         {"name", m.name},
                         {"lat", m.lat},
                         {"lon", m.lon}});
    }
    const json j{{"error", false}, {"stops", stops}};
    // Feeds may carry broken UTF-8; replace it rather than fail the reply.
    return {200, j.dump(-1, ' ', false, json::error_handler_t::replace)};
}

}  // namespace velmo::api
