#pragma once

#include "server/api/Errors.h"
#include "server/api/FeedStatus.h"
#include "server/query/Engine.h"
#include "server/realtime/Poller.h"

#include <string>
#include <vector>

namespace velmo::api {

// What goes back on the wire: the HTTP status and the JSON envelope.
struct Reply {
    int status = 200;
    std::string body;
};

Reply renderError(const ApiError& error);
Reply renderNearby(const query::NearbyResult& result);
Reply renderVehicle(const query::VehicleResult& result);
Reply renderTrip(const query::TripResult& result);
// GET /healthz: every city's feed, its live sources and the age of its freshest live data, and
// the state of each of its static feeds when `feeds` are given.
Reply renderHealth(const query::Snapshot& snapshot, const std::vector<realtime::SourceStatus>& sources,
                   query::TimePoint now, const std::vector<FeedStatus>& feeds = {});

}  // namespace velmo::api
