#pragma once

#include "server/api/Errors.h"
#include "server/query/Engine.h"

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace velmo::api {

// Oldest client accepted per "X-APP": a dotted version and a build number.
struct MinimumVersion {
    std::string version;  // empty: any
    long long build = 0;  // 0: any
};

using VersionPolicy = std::map<std::string, MinimumVersion, std::less<>>;

// Looks up a request header by name (empty when absent).
using HeaderLookup = std::function<std::string(std::string_view)>;

// "NEWSTABLE" when "X-APILEVEL" is not "2" or "X-APPVERSION" is below the
// app's minimum, "NEWTESTFLIGHT" when only "X-APPBUILD" is below it.
std::optional<ApiError> checkClient(const HeaderLookup& header, const VersionPolicy& policy);

// Dotted versions compared part by part as numbers ("1.10" > "1.9"); a
// missing part counts as 0 and a part that is no number sorts first.
int compareVersions(std::string_view a, std::string_view b);

// The departures request; BADREQUEST for anything but a well-formed body.
std::variant<query::NearbyParams, ApiError> parseNearby(std::string_view body);

struct DetailsRequest {
    std::string city;
    std::string tripId;
    std::string stopId;
    std::string routeId;
};

// The trip and vehicle requests, identifiers decoded from standard base64.
std::variant<DetailsRequest, ApiError> parseDetails(std::string_view body);

// Strict standard base64 (padding required, no whitespace); nothing when invalid.
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace velmo::api
