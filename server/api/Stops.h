#pragma once
// "v2/stops/": stops by name. The request is {"text": "deak", "city": "bp", "limit": 20}
// ("city" and "limit" optional; limit clamped to 1..100); the reply's "stops" lists
// {"city", "cityName", "id", "name", "lat", "lon"} for each match.

#include "server/api/Errors.h"
#include "server/api/Reply.h"
#include "server/query/StopSearch.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace velmo::api {

struct StopsRequest {
    std::string text;
    std::string city;  // empty: every city
    std::size_t limit = 20;
};

inline constexpr std::size_t kMaxStopsLimit = 100;

// BADREQUEST for a body that is not an object, a "text" that is missing, not a string, blank
// or longer than 200 bytes, a "city" that is not a string, a "limit" that is not a number.
std::variant<StopsRequest, ApiError> parseStops(std::string_view body);

Reply renderStops(const std::vector<query::StopMatch>& matches);

}  // namespace velmo::api
