#pragma once

#include "server/api/Errors.h"
#include "server/query/Engine.h"

#include <string>

namespace velmo::api {

// What goes back on the wire: the HTTP status and the JSON envelope.
struct Reply {
    int status = 200;
    std::string body;
};

Reply renderError(const ApiError& error);
Reply renderNearby(const query::NearbyResult& result);
// The newest live position of a trip's vehicle.
Reply renderVehicle(const realtime::VehicleState& v);

Reply renderTrip(const query::TripResult& result);

}  // namespace velmo::api
