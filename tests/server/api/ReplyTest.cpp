#include "server/api/JsonText.h"
#include "server/api/Reply.h"

#include "tests/server/TestFeed.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>

using namespace velmo;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

// The nearby reply as it was built before the direct writer: a nlohmann::json
// document, dumped with broken UTF-8 replaced. Kept here as the reference.
json referenceItem(const query::Departure& d) {
    return {
        {"stopLat", d.stopLat},
        {"stopLon", d.stopLon},
        {"stopDistance", d.stopDistance},
        {"stopFavoriteId", d.stopFavoriteId},
        {"stopUniqueId", d.stopUniqueId},
        {"stopNearest", d.stopNearest},
        {"stopFavorite", d.stopFavorite},
        {"stopName", d.stopName},
        {"routeName", d.routeName},
        {"routeFavoriteId", d.routeFavoriteId},
        {"routeUniqueId", d.routeUniqueId},
        {"routeFavorite", d.routeFavorite},
        {"routeType", d.routeType},
        {"tripHeadsign", d.tripHeadsign},
        {"tripId", d.tripId},
        {"tripUniqueId", d.tripUniqueId},
        {"tripDepartureSeconds", d.tripDepartureSeconds},
        {"tripDepartureTimestamp", d.tripDepartureTimestamp},
        {"tripDepartureMinutesText", d.tripDepartureMinutesText},
        {"tripDepartureGPS", d.tripDepartureGPS},
        {"warning", !d.warningText.empty()},
        {"warningText", d.warningText},
        {"hasDetails", true},
    };
}

std::string referenceNearby(const query::NearbyResult& r) {
    json stopDates = json::array();
    for (const auto& d : r.stopDates) {
        stopDates.push_back(referenceItem(d));
    }
    json nearby = json::array();
    for (const auto& d : r.stopDatesNearby) {
        nearby.push_back(referenceItem(d));
    }
    const json j{{"error", false},         {"stopDates", stopDates}, {"stopDatesNearby", nearby},
                 {"cityName", r.cityName}, {"cityURL", r.cityURL},   {"cityKey", r.cityKey}};
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Equal values of equal JSON kinds all the way down (json's own == takes 1 and 1.0 as equal).
void expectSameJson(const json& got, const json& want, const std::string& where = "$") {
    ASSERT_EQ(got.type(), want.type()) << where << ": " << got.dump() << " vs " << want.dump();
    if (want.is_object()) {
        ASSERT_EQ(got.size(), want.size()) << where;
        for (auto it = want.begin(); it != want.end(); ++it) {
            ASSERT_TRUE(got.contains(it.key())) << where << "." << it.key();
            expectSameJson(got.at(it.key()), it.value(), where + "." + it.key());
        }
    } else if (want.is_array()) {
        ASSERT_EQ(got.size(), want.size()) << where;
        for (std::size_t i = 0; i < want.size(); ++i) {
            expectSameJson(got[i], want[i], where + "[" + std::to_string(i) + "]");
        }
    } else {
        EXPECT_EQ(got, want) << where;
    }
}

void expectSameAsReference(const query::NearbyResult& r) {
    const std::string want = referenceNearby(r);
    const std::string got = api::renderNearby(r).body;
    const json parsed = json::parse(got, nullptr, false);
    ASSERT_FALSE(parsed.is_discarded()) << got;
    expectSameJson(parsed, json::parse(want));
    // Member order and number spelling too (for these values; see JsonText below).
    EXPECT_EQ(got, want);
}

query::Departure sampleDeparture() {
    query::Departure d;
    d.stopLat = 47.2051;
    d.stopLon = 19.3608;
    d.stopDistance = 137;
    d.stopFavoriteId = "P1";
    d.stopUniqueId = "S00004";
    d.stopNearest = true;
    d.stopFavorite = false;
    d.stopName = "Deák Ferenc tér (M) \"Nyugati\" \\ oldal";
    d.routeName = "M1";
    d.routeFavoriteId = "ME-M1";
    d.routeUniqueId = "ME-M1|0";
    d.routeFavorite = true;
    d.routeType = "SUBWAY";
    d.tripHeadsign = "Mexikói út\tvégállomás\n";
    d.tripId = "T-1";
    d.tripUniqueId = "T-1@20250314";
    d.tripDepartureSeconds = 29100;
    d.tripDepartureTimestamp = 1741936500;
    d.tripDepartureMinutesText = "!!";
    d.tripDepartureGPS = false;
    return d;
}

}  // namespace

TEST(RenderNearby, MatchesTheReferenceOnHandMadeItems) {
    query::NearbyResult r;
    r.cityName = "Mintaváros";
    r.cityURL = "https://mintavaros.example/?a=1&b=\"2\"";
    r.cityKey = "mv";
    query::Departure a = sampleDeparture();
    query::Departure b = sampleDeparture();
    b.stopLat = -82.457311;
    b.stopLon = 0.0;
    b.stopDistance = 0;
    b.tripDepartureSeconds = 90000;  // past 24:00
    b.tripDepartureTimestamp = -1;
    b.tripDepartureMinutesText = "12";
    b.tripDepartureGPS = true;
    b.stopNearest = false;
    b.stopFavorite = true;
    b.routeFavorite = false;
    b.stopName = std::string("ctl \x01\x1f\x7f\b\f\r end", 17);
    b.tripHeadsign = "broken \xC3 utf-8 \xff\xfe and \xE2\x82 cut";
    b.warningText = {"Pótlóbusz közlekedik", "line\nbreak", "\xF0\x9F\x9A\x8C emoji"};
    query::Departure c = sampleDeparture();
    c.stopLat = 47.0;
    c.stopLon = -0.0;
    c.warningText = {""};
    r.stopDates = {a, b, c};
    r.stopDatesNearby = {b};
    expectSameAsReference(r);

    r.stopDates.clear();
    r.stopDatesNearby.clear();
    expectSameAsReference(r);
}

TEST(RenderNearby, MatchesTheReferenceOnAnEngineAnswer) {
    test::FeedBuilder b;
    b.stop("P", "Deák tér", 47.4970, 19.0540, "", 1)
        .stop("A", "Deák tér \"\"felső\"\"", 47.4970, 19.0540, "P")
        .stop("B", "Deák tér", 47.4972, 19.0543, "P")
        .stop("C", "Astoria", 47.4930, 19.0660)
        .route("R9", "9", 3)
        .route("M2", "M2", 1, "Metró")
        .route("N6", "6É", 3)
        .trip("T1", "R9", {{"A", "08:00:00"}, {"C", "08:05:00"}}, 0, "Astoria")
        .trip("T2", "R9", {{"C", "07:50:00"}, {"B", "08:03:00"}, {"P", "08:04:00"}}, 1)
        .trip("T3", "M2", {{"B", "08:10:00", "Örs vezér tere"}, {"C", "08:12:00"}}, 0, "Örs")
        .trip("T4", "N6", {{"A", "08:20:00"}, {"C", "08:25:00"}}, 0, "Éjszakai \\ járat");
    auto snapshot = std::make_shared<query::Snapshot>();
    snapshot->cities.push_back(
        query::City::build({"bp", "Budapest", "https://bp.example", ""}, gtfs::loadFeed(b.directory())));
    query::NearbyParams params;
    params.lat = 47.4970;
    params.lon = 19.0540;
    params.fetchRadius = 1500;
    params.realRadius = 1500;
    params.minutes = 60;
    params.favSortMode = 2;
    params.favRoutes = {"M2"};
    params.favStops = {"P"};
    // Friday 14 March 2025, 07:58 in Budapest.
    const auto now = query::TimePoint(date::sys_days(date::year(2025) / 3 / 14) + 6h + 58min);
    const auto result = query::nearby(*snapshot, params, now);
    ASSERT_TRUE(result.error.empty()) << result.error;
    ASSERT_GE(result.stopDates.size(), 3u);
    ASSERT_FALSE(result.stopDatesNearby.empty());
    expectSameAsReference(result);
}

TEST(JsonText, DoublesReadBackExactlyAsFloats) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> lat(-90.0, 90.0);
    std::uniform_int_distribution<int> digits(0, 7);
    // Values whose spelling must match the library's byte for byte.
    const std::vector<double> exact = {0.0,
                                       -0.0,
                                       1.0,
                                       -1.0,
                                       47.0,
                                       0.1,
                                       0.0001,
                                       0.00001,
                                       1e-300,
                                       1e15,
                                       1e16,
                                       123456789012345.0,
                                       1234567890123456.0,
                                       5e-324,
                                       std::numeric_limits<double>::max(),
                                       2.5e-5,
                                       -82.457311,
                                       19.3608};
    std::vector<double> any;  // coordinates as feeds give them (0..7 decimals), and arbitrary doubles
    for (int i = 0; i < 20000; ++i) {
        // Read from decimal text, as the loader reads stops.txt.
        std::array<char, 32> text{};
        std::snprintf(text.data(), text.size(), "%.*f", digits(rng), lat(rng));
        any.push_back(std::strtod(text.data(), nullptr));
        any.push_back(lat(rng));
    }
    auto check = [](double v, bool sameBytes) {
        std::string got;
        api::json_text::appendDouble(got, v);
        const json back = json::parse(got);
        ASSERT_TRUE(back.is_number_float()) << got;
        EXPECT_EQ(back.get<double>(), v) << got;
        const std::string want = json(v).dump();
        if (sameBytes) {
            EXPECT_EQ(got, want);
        } else {
            // The library's digit generator is not always the shortest: it
            // may write 66.08369449999999 for a feed's 66.0836945, or
            // 52.291403228048154 for 52.29140322804815. Both read back as the
            // same double; ours is never longer, the layout is the same.
            EXPECT_LE(got.size(), want.size()) << want;
            EXPECT_EQ(got.find('e') == std::string::npos, want.find('e') == std::string::npos) << want;
        }
    };
    for (const double v : exact) {
        check(v, true);
    }
    for (const double v : any) {
        check(v, false);
    }
    std::string special;
    api::json_text::appendDouble(special, std::nan(""));
    api::json_text::appendDouble(special, std::numeric_limits<double>::infinity());
    EXPECT_EQ(special, "nullnull");
}

TEST(JsonText, IntegersAndStrings) {
    std::string out;
    api::json_text::appendInt(out, std::numeric_limits<std::int64_t>::min());
    out += ',';
    api::json_text::appendInt(out, 0);
    out += ',';
    api::json_text::appendString(out, "");
    out += ',';
    api::json_text::appendString(out, std::string("a\0b", 3));
    EXPECT_EQ(out, "-9223372036854775808,0,\"\",\"a\\u0000b\"");
}
