#pragma once
// The two trip-details replies (more/ and vehicle/) read into plain values, and where the
// vehicle stands along the trip's stops. The departures client hands these replies on without
// reading them; the trip window and the console read them here, so that both say the same.

#include "platform/defaults/PlistValue.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

class JSON;

struct TripStop {
    std::string id;
    std::string name;
    double lat = 0;
    double lon = 0;
    std::int64_t arrival = 0;    // Unix seconds
    std::int64_t departure = 0;  // Unix seconds
    bool live = false;           // the times come from a live prediction
    bool passed = false;         // the vehicle has left it
    bool selected = false;       // the user's stop
    bool cancelled = false;      // the call was cancelled
};

struct TripDetails {
    std::string routeName;
    std::string routeType;
    std::string headsign;
    std::vector<TripStop> stops;
    std::vector<std::string> warnings;
};

struct VehiclePosition {
    double lat = 0;
    double lon = 0;
    std::int64_t timestamp = 0;  // Unix seconds of the fix
    std::string label;
    std::string currentStopId;
    std::string status;  // "INCOMING_AT", "STOPPED_AT", "IN_TRANSIT_TO" or empty
};

// The trip of a more/ reply, or absent when "trip" or its "stops" is missing. A stop without
// an id or name is left out; a missing flag counts as false. A stop is cancelled when its
// "cancelled" or "tripCancelled" member is true.
std::optional<TripDetails> readTripDetails(const JSON& reply);
// The vehicle of a vehicle/ reply, or absent without a position.
std::optional<VehiclePosition> readVehiclePosition(const JSON& reply);

// Where the vehicle is, in stop units: 2.0 at the third stop, 2.5 halfway from it to the
// fourth. Taken from the current stop and status when the vehicle names a stop of the trip,
// else from its nearest point on the line through the stops; absent without stops.
std::optional<double> vehiclePlace(const std::vector<TripStop>& stops, const VehiclePosition& vehicle);

// "a(z) X megállóban" or "X és Y között" for a place along `stops`.
std::string vehiclePlaceText(const std::vector<TripStop>& stops, double place);

// The age of a position in Hungarian: "épp most", "2 perce", "1 órája".
std::string positionAgeText(std::int64_t ageSeconds);

// The service's clock (Unix seconds) as a departures list shows it: each departure's time
// ("departure") less its whole minutes left ("departureMinutes", "!!" under one) bounds it;
// the middle of what every item allows. Absent when no item tells or they disagree.
std::optional<std::int64_t> serviceClock(const std::vector<PlistMap>& departures);
// What to add to the local clock to read the service's: zero unless they differ by more than
// five minutes (a service running on a clock of its own, as in a demonstration), since the
// estimate is only good to a minute.
std::int64_t clockOffset(std::optional<std::int64_t> serviceNow, std::int64_t localNow);

// The time a stop shows: departure, or arrival at the last stop.
std::int64_t stopTime(const TripStop& stop, bool last);

// The message of a details query's failure: the service's own text when it sent one, the
// Hungarian text of the two details codes when it sent the bare code ("NOTRIP", "NOVEHICLE"),
// else what `toErrorString` says for the code.
std::string detailsErrorText(const std::optional<std::string>& code,
                             const std::function<std::string(std::string_view)>& toErrorString);

// Standard base64, as the details queries carry their ids.
std::string base64(std::string_view bytes);

}  // namespace velmo
