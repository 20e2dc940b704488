// Reading the trip-details replies, placing the vehicle along the stops, and the service's clock
// as a departures list shows it.

#include "core/json/JSON.h"
#include "core/service/TripDetails.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

// Stops 1 km apart northwards, ids "S0".."S3".
std::vector<TripStop> line() {
    std::vector<TripStop> stops;
    for (int i = 0; i < 4; ++i)
        stops.push_back({"S" + std::to_string(i), "Stop " + std::to_string(i), 47.50 + 0.01 * i, 19.04});
    return stops;
}

TEST(TripDetails, ReadsStopsWithEitherCancelledMarkAndSkipsIncompleteOnes) {
    const JSON reply = JSON::parse(R"({"error":false,"warningText":["Terelés"],"trip":{"routeName":"81",
        "routeType":"BUS","headsign":"Erdő","stops":[
        {"stopId":"A","stopName":"Alsó","lat":47.5,"lon":19.0,"arrivalTimestamp":100,"departureTimestamp":160,
         "gps":true,"passed":true,"selected":false},
        {"stopId":"B","stopName":"Berek","departureTimestamp":200.0,"selected":true,"cancelled":true},
        {"stopName":"no id"},
        {"stopId":"C","stopName":"Csúcs","tripCancelled":true}]}})");
    const auto trip = readTripDetails(reply);
    ASSERT_TRUE(trip);
    EXPECT_EQ(std::tie(trip->routeName, trip->routeType, trip->headsign), std::make_tuple("81", "BUS", "Erdő"));
    EXPECT_EQ(trip->warnings, std::vector<std::string>{"Terelés"});
    ASSERT_EQ(trip->stops.size(), 3U);
    const TripStop& a = trip->stops[0];
    EXPECT_EQ(std::make_tuple(a.arrival, a.departure, a.live, a.passed, a.selected, a.cancelled),
              std::make_tuple(100, 160, true, true, false, false));
    EXPECT_EQ(std::make_tuple(trip->stops[1].departure, trip->stops[1].selected, trip->stops[1].cancelled),
              std::make_tuple(200, true, true));
    EXPECT_TRUE(trip->stops[2].cancelled);
    EXPECT_EQ(stopTime(a, false), 160);
    EXPECT_EQ(stopTime(a, true), 100);

    EXPECT_FALSE(readTripDetails(JSON::parse(R"({"error":false,"trip":{"routeName":"81"}})")));
    EXPECT_FALSE(readVehiclePosition(JSON::parse(R"({"error":false,"vehicle":{"lat":47.5}})")));
}

TEST(TripDetails, PlacesTheVehicleByItsStopOrItsNearestPointOnTheLine) {
    struct Case {
        double lat;
        std::string stop, status;
        double place;
        std::string text;
    };
    const std::vector<Case> cases{
        {47.52, "S2", "STOPPED_AT", 2.0, "Stop 2 megállónál"},
        {47.515, "S2", "IN_TRANSIT_TO", 1.5, "Stop 1 és Stop 2 között"},
        {47.52, "S2", "INCOMING_AT", 1.85, "Stop 1 és Stop 2 között"},  // never on the stop it is not at
        {47.49, "S0", "IN_TRANSIT_TO", 0.0, "Stop 0 megállónál"},
        {47.5125, "", "", 1.25, "Stop 1 és Stop 2 között"},  // no stop named: nearest point
        {47.5125, "X9", "IN_TRANSIT_TO", 1.25, "Stop 1 és Stop 2 között"},
        {47.60, "", "", 3.0, "Stop 3 megállónál"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.lat);
        const auto place = vehiclePlace(line(), VehiclePosition{c.lat, 19.04, 0, "", c.stop, c.status});
        ASSERT_TRUE(place);
        EXPECT_NEAR(*place, c.place, 1e-6);
        EXPECT_EQ(vehiclePlaceText(line(), *place), c.text);
    }
    EXPECT_FALSE(vehiclePlace({}, VehiclePosition{}));
}

TEST(TripDetails, AgesClockAndEncoding) {
    EXPECT_EQ(positionAgeText(59), "épp most");
    EXPECT_EQ(positionAgeText(-30), "épp most");
    EXPECT_EQ(positionAgeText(130), "2 perce");
    EXPECT_EQ(positionAgeText(2 * 3600 + 5), "2 órája");

    // "3" minutes left at 1200 and "!!" at 1030 allow (960, 1020] and (970, 1030]: the middle
    // of both is 995.
    const std::vector<PlistMap> items{{{"departure", std::int64_t{1200}}, {"departureMinutes", std::string("3")}},
                                      {{"departure", std::int64_t{1030}}, {"departureMinutes", std::string("!!")}},
                                      {{"departureMinutes", std::string("x")}}};
    EXPECT_EQ(serviceClock(items), 995);
    EXPECT_FALSE(serviceClock({}));
    EXPECT_EQ(clockOffset(1000, 1200), 0) << "within five minutes the local clock is trusted";
    EXPECT_EQ(clockOffset(1000, 100000), 1000 - 100000);
    EXPECT_EQ(clockOffset(std::nullopt, 100000), 0);

    EXPECT_EQ(base64(""), "");  // "T 1", "D", "R81": TripWindowTest
    EXPECT_EQ(base64("ab"), "YWI=");
    EXPECT_EQ(base64("a\xff"), "Yf8=");
}

}  // namespace
}  // namespace velmo
