#include "server/api/JsonText.h"
#include "server/api/Reply.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <random>

using namespace velmo;
using nlohmann::json;

// The nearby reply is written by hand: whatever a feed holds must come out as valid JSON with
// the same values, broken UTF-8 replaced rather than failing the reply.
TEST(RenderNearby, WritesAwkwardValuesAsValidJson) {
    query::NearbyResult r;
    r.cityName = "Mintaváros";
    r.cityURL = "https://mv.example/?a=1&b=\"2\"";
    r.cityKey = "mv";
    query::Departure d;
    d.stopLat = -82.457311;
    d.stopLon = -0.0;
    d.stopDistance = 137;
    d.stopNearest = true;
    d.stopName = "Deák \"tér\" \\ ctl \x01\x1f\x7f\b\f\r\n\t end";
    d.tripHeadsign = "broken \xC3 utf-8 \xff\xfe and \xE2\x82 cut";
    d.tripDepartureTimestamp = -1;
    d.tripDepartureSeconds = 90000;
    d.warningText = {"Pótlóbusz", "\xF0\x9F\x9A\x8C emoji", ""};
    r.stopDates = {d, query::Departure{}};
    r.stopDatesNearby = {d};
    const json j = json::parse(api::renderNearby(r).body);
    EXPECT_EQ(std::tuple(j["error"], j["cityName"], j["cityURL"], j["cityKey"]),
              std::tuple(json(false), json(r.cityName), json(r.cityURL), json("mv")));
    ASSERT_EQ(j["stopDates"].size(), 2u);
    const json& item = j["stopDatesNearby"][0];
    EXPECT_EQ(item.size(), 23u);
    EXPECT_EQ(item["stopName"], d.stopName);
    const auto replaced = json(d.tripHeadsign).dump(-1, ' ', false, json::error_handler_t::replace);
    EXPECT_EQ(item["tripHeadsign"], json::parse(replaced));
    EXPECT_EQ(item["stopLat"].get<double>(), -82.457311);
    EXPECT_TRUE(item["stopLon"].is_number_float());
    EXPECT_TRUE(std::signbit(item["stopLon"].get<double>()));
    EXPECT_EQ(std::tuple(item["stopDistance"], item["tripDepartureTimestamp"], item["tripDepartureSeconds"]),
              std::tuple(json(137), json(-1), json(90000)));
    EXPECT_EQ(std::tuple(item["stopNearest"], item["stopFavorite"], item["warning"], item["hasDetails"]),
              std::tuple(json(true), json(false), json(true), json(true)));
    EXPECT_EQ(item["warningText"], json(d.warningText));
    EXPECT_EQ(j["stopDates"][1]["warning"], false);
}

TEST(JsonText, DoublesReadBackExactlyAndIntegersInFull) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lat(-90.0, 90.0);
    std::vector<double> values = {
        0.0, 1.0, 47.0, 0.1, 1e-300, 1e16, 5e-324, std::numeric_limits<double>::max(), 2.5e-5, 19.3608, 66.0836945};
    for (int i = 0; i < 20000; ++i) {
        values.push_back(lat(rng));
        values.push_back(std::round(lat(rng) * 1e6) / 1e6);  // as feeds give coordinates
    }
    for (const double v : values) {
        std::string got;
        api::json_text::appendDouble(got, v);
        const json back = json::parse(got);
        ASSERT_TRUE(back.is_number_float()) << got;
        ASSERT_EQ(back.get<double>(), v) << got;
        ASSERT_LE(got.size(), json(v).dump().size()) << got;  // never longer than the library's
    }
    std::string out;
    api::json_text::appendDouble(out, std::nan(""));
    api::json_text::appendDouble(out, std::numeric_limits<double>::infinity());
    api::json_text::appendInt(out, std::numeric_limits<std::int64_t>::min());
    api::json_text::appendString(out, std::string("a\0b", 3));
    EXPECT_EQ(out, "nullnull-9223372036854775808\"a\\u0000b\"");
}
