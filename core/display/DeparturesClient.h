#pragma once
// The departures source as the display controllers see it: one query at a time, a cancel
// that only tells the source its answer is no longer wanted, the item map of one departure
// and the Hungarian message of an error code. The programs adapt TarvoRequest to it; tests
// hand the controllers a scripted fake.

#include "core/json/JSON.h"
#include "platform/defaults/PlistValue.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

// A place the user may choose by name: a stop with its city and position.
struct StopChoice {
    std::string name;
    std::string cityName;
    double latitude = 0.0;
    double longitude = 0.0;
};

class DeparturesClient {
public:
    // error code (absent on success) and the matches, best first.
    using StopsCallback = std::function<void(std::optional<std::string> error, std::vector<StopChoice> stops)>;

    // error code, "stopDates", "stopDatesNearby", city name, city URL, city key, reserved.
    using Callback = std::function<void(std::optional<std::string> error, std::optional<JSON> stopDates,
                                        std::optional<JSON> stopDatesNearby, std::optional<std::string> cityName,
                                        std::optional<std::string> cityURL, std::optional<std::string> cityKey,
                                        std::optional<std::string> reserved)>;

    virtual ~DeparturesClient() = default;
    // Starts one query; `callback` runs at most once, on any thread.
    virtual void getWithLocation(bool skip_nearby, Callback callback) = 0;
    // The caller no longer wants the answer of a query under way.
    virtual void cancel() = 0;
    // The item map of one departure, or absent when it cannot be converted.
    virtual std::optional<PlistMap> toDictionary(const JSON& departure) const = 0;
    // The Hungarian message for an error code.
    virtual std::string toErrorString(std::string_view code) const = 0;
    // Stops whose names match `text`; `callback` runs once, on any thread. A source that
    // cannot search answers "DOWNLOADERROR" with no stops.
    virtual void searchStops(const std::string& text, StopsCallback callback);

    // error code, the whole reply (present on success only).
    using DetailsCallback = std::function<void(std::optional<std::string> error, std::optional<JSON> reply)>;
    // The trip's stops ("more/") and its vehicle ("vehicle/"), for the city key of the reply
    // and the departure's trip, stop and route ids in base64; `callback` runs exactly once.
    // A source without trip details answers "DOWNLOADERROR".
    virtual void getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                             const std::string& routeId, DetailsCallback callback);
    virtual void getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                                const std::string& routeId, DetailsCallback callback);
};

// The stops of a "stops/" reply; entries without a name or a position are left out.
std::vector<StopChoice> stopChoicesFromReply(const JSON& reply);

// The item maps of a reply list in the order the JSON value enumerates its elements (an
// array's elements, an object's member values, nothing for other kinds); departures that
// cannot be converted are left out.
PlistList itemsFromList(const DeparturesClient& client, const JSON& list);

}  // namespace velmo
