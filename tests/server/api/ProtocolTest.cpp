// What goes over the wire: requests parsed and checked, replies written.
#include "server/api/JsonText.h"
#include "server/api/Reply.h"
#include "server/api/Request.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <ranges>

using namespace velmo::api;
using namespace velmo::query;
using nlohmann::json;

namespace {

const std::string kGood = R"({"method":"TRIPSFORLOCATION","lat":47.5,"lon":19.05,"fetchRadius":800,"realRadius":300,)"
                          R"("favRoutes":["R9"],"favStops":[],"favSortMode":2,"minutes":30})";

// The good body with one member replaced (removed when `value` is empty).
std::string with(const std::string& member, const std::string& value) {
    auto j = json::parse(kGood);
    if (value.empty()) {
        j.erase(member);
    } else {
        j[member] = json::parse(value);
    }
    return j.dump();
}

}  // namespace

TEST(ParseNearby, ReadsClampsOrRefuses) {
    const auto p = std::get<NearbyParams>(parseNearby(kGood));
    EXPECT_EQ(std::tuple(p.lat, p.fetchRadius, p.realRadius, p.minutes, p.favSortMode, p.favRoutes),
              std::tuple(47.5, 800, 300, 30, 2, std::vector<std::string>{"R9"}));
    // Numbers out of range are clamped, not refused: radii to 1..5000 m, minutes to 1..120,
    // an unknown sort mode to 3, favourites to the first 500.
    auto body = json::parse(kGood);
    body.update(json{{"fetchRadius", -20}, {"realRadius", 1e12}, {"minutes", 121.9}, {"favSortMode", 17}});
    body["favStops"] = std::vector<std::string>(10000, "S");
    const auto c = std::get<NearbyParams>(parseNearby(body.dump()));
    EXPECT_EQ(std::tuple(c.fetchRadius, c.realRadius, c.minutes, c.favSortMode, c.favStops.size()),
              std::tuple(1, 5000, 120, 3, 500u));
    for (const auto& bad :
         {std::string(), std::string("not json"), std::string("[1,2,3]"), std::string("\"x\""),
          std::string(R"({"method":"TRIPSFORLOCATION","lat":NaN})"), with("method", "\"NEARBY\""), with("method", ""),
          with("lat", ""), with("lat", "\"47.5\""), with("lat", "91"), with("lon", "-180.5"), with("lon", "1e300"),
          with("fetchRadius", "\"800\""), with("minutes", "null"), with("favSortMode", "true"),
          with("favRoutes", "\"R9\""), with("favStops", "[1]"), with("favStops", "")}) {
        const auto parsed = parseNearby(bad);
        const auto* error = std::get_if<ApiError>(&parsed);
        EXPECT_TRUE(error && error->code == "BADREQUEST" && error->status == 400) << bad;
    }
}

TEST(ParseDetails, DecodesStrictBase64Identifiers) {
    const std::pair<const char*, std::string> good[] = {{"", ""},      {"VDE=", "T1"},        {"VDEy", "T12"},
                                                        {"VA==", "T"}, {"w6F0", "\xC3\xA1t"}, {"Pz8/", "???"}};
    for (const auto& [in, out] : good)
        EXPECT_EQ(decodeBase64(in), out) << in;
    for (const char* bad : {"VDE", "VD=E", "V===", "VDE*", "VD E", "Pz8_"})
        EXPECT_EQ(decodeBase64(bad), std::nullopt) << bad;
    const auto d = std::get<DetailsRequest>(
        parseDetails(R"({"city":"bp","tripIdB64":"VDE=","stopIdB64":"QQ==","routeIdB64":"Ujk="})"));
    EXPECT_EQ(std::tuple(d.city, d.tripId, d.stopId, d.routeId), std::tuple("bp", "T1", "A", "R9"));
    for (const char* bad : {R"({"city":"bp","tripIdB64":"VDE","stopIdB64":"QQ==","routeIdB64":"Ujk="})",
                            R"({"city":"bp","tripIdB64":"VDE=","stopIdB64":"QQ=="})",
                            R"({"city":1,"tripIdB64":"VDE=","stopIdB64":"QQ==","routeIdB64":"Ujk="})", "[]"}) {
        EXPECT_TRUE(std::holds_alternative<ApiError>(parseDetails(bad))) << bad;
    }
}

TEST(CheckClient, ApiLevelVersionAndBuildGates) {
    const VersionPolicy policy{{"velmomac", {"1.4.2", 120}}};
    // X-APILEVEL|X-APP|X-APPVERSION|X-APPBUILD|the answer, empty when let through.
    for (const std::string c :
         {"2|velmomac|1.4.2|120|", "2|velmomac|1.10|999|", "1|velmomac|9|999|NEWSTABLE", "|velmomac|9|999|NEWSTABLE",
          "2|velmomac|1.4.1|999|NEWSTABLE", "2|velmomac||999|NEWSTABLE", "2|velmomac|1.4.2|119|NEWTESTFLIGHT",
          "2|velmomac|1.4.2|x|NEWTESTFLIGHT", "2|velmomactoday|0.1||"}) {
        std::vector<std::string> field;
        for (const auto part : std::views::split(c, '|'))
            field.emplace_back(part.begin(), part.end());
        const auto header = [&field](std::string_view name) {
            const std::array<std::string_view, 4> names{"X-APILEVEL", "X-APP", "X-APPVERSION", "X-APPBUILD"};
            const auto at = static_cast<std::size_t>(std::ranges::find(names, name) - names.begin());
            return at < names.size() ? field[at] : std::string();
        };
        const auto refused = checkClient(header, policy);
        EXPECT_EQ(std::pair(refused ? refused->code : "", refused ? refused->status : 200), std::pair(field[4], 200))
            << c;
    }
    EXPECT_LT(compareVersions("1.9", "1.10"), 0);
    EXPECT_EQ(compareVersions("1.0", "1"), 0);
    EXPECT_GT(compareVersions("2", "1.99.99"), 0);
}

// The nearby reply is written by hand: whatever a feed holds must come out as valid JSON with
// the same values, broken UTF-8 replaced rather than failing the reply.
TEST(RenderNearby, WritesAwkwardValuesAsValidJson) {
    NearbyResult r;
    r.cityName = "Mintaváros";
    r.cityURL = "https://mv.example/?a=1&b=\"2\"";
    r.cityKey = "mv";
    Departure d;
    d.stopLat = -82.457311;
    d.stopLon = -0.0;
    d.stopDistance = 137;
    d.stopNearest = true;
    d.stopName = "Deák \"tér\" \\ ctl \x01\x1f\x7f\b\f\r\n\t end";
    const std::string longName(3000, '"');  // more than an item's usual room once escaped
    d.routeName = longName;
    d.tripHeadsign = "broken \xC3 utf-8 \xff\xfe and \xE2\x82 cut";
    d.tripDepartureTimestamp = -1;
    d.tripDepartureSeconds = 90000;
    d.warningText = {"Pótlóbusz", "\xF0\x9F\x9A\x8C emoji", ""};
    r.stopDates = {d, Departure{}};
    r.stopDatesNearby = {d};
    const json j = json::parse(renderNearby(r).body);
    EXPECT_EQ(std::tuple(j["error"], j["cityName"], j["cityURL"], j["cityKey"]),
              std::tuple(json(false), json(r.cityName), json(r.cityURL), json("mv")));
    ASSERT_EQ(j["stopDates"].size(), 2u);
    const json& item = j["stopDatesNearby"][0];
    EXPECT_EQ(item.size(), 24u);
    EXPECT_EQ(item["stopName"], d.stopName);
    EXPECT_EQ(item["routeName"], longName);
    const auto replaced = json(d.tripHeadsign).dump(-1, ' ', false, json::error_handler_t::replace);
    EXPECT_EQ(item["tripHeadsign"], json::parse(replaced));
    EXPECT_EQ(item["stopLat"].get<double>(), -82.457311);
    EXPECT_TRUE(item["stopLon"].is_number_float() && std::signbit(item["stopLon"].get<double>()));
    EXPECT_EQ(std::tuple(item["stopDistance"], item["tripDepartureTimestamp"], item["tripDepartureSeconds"]),
              std::tuple(json(137), json(-1), json(90000)));
    EXPECT_EQ(std::tuple(item["stopNearest"], item["stopFavorite"], item["warning"], item["hasDetails"]),
              std::tuple(json(true), json(false), json(true), json(true)));
    EXPECT_EQ(item["warningText"], json(d.warningText));
    EXPECT_EQ(j["stopDates"][1]["warning"], false);
}

TEST(JsonText, StringsAreWrittenAsTheLibraryWritesThem) {
    // Escapes, accents and broken bytes before, inside and across the eight-byte steps of the
    // plain-text path, each also behind a prefix that moves it to every offset.
    const std::vector<std::string> texts = {
        "",
        "Kossuth Lajos utca",
        "Széll Kálmán tér M",
        "abcdefg\"",
        "abcdefgh\\ijklmnop",
        std::string("abcdefg\0hij", 11),
        "tab\there\r\nand\x1f\x7f",
        "\xc3\xa1rv\xc3\xadzt\xc5\xb1r\xc5\x91 t\xc3\xbck\xc3\xb6rf\xc3\xbar\xc3\xb3g\xc3\xa9p",
        "\xf0\x9f\x9a\x8c busz \xe2\x86\x92 v\xc3\xa1ros",
        "broken \xc3 in the middle",
        "ends broken \xe2\x82",
        "\xed\xa0\x80 a surrogate",
        "\xc0\xaf overlong",
        "\xf4\x90\x80\x80 past U+10FFFF",
        "\xff\xfe",
    };
    for (const std::string& text : texts) {
        for (std::size_t shift = 0; shift < 8; ++shift) {
            const std::string shifted = std::string(shift, 'x') + text;
            std::string out = "[";
            json_text::appendString(out, shifted);
            const std::string expected = "[" + json(shifted).dump(-1, ' ', false, json::error_handler_t::replace);
            ASSERT_EQ(out, expected) << "text " << json(text).dump(-1, ' ', false, json::error_handler_t::replace)
                                     << " after " << shift;
        }
    }
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
        json_text::appendDouble(got, v);
        const json back = json::parse(got);  // the same double, never longer than the library writes it
        ASSERT_TRUE(back.is_number_float() && back.get<double>() == v && got.size() <= json(v).dump().size()) << got;
    }
    std::string out;
    json_text::appendDouble(out, std::nan(""));
    json_text::appendDouble(out, std::numeric_limits<double>::infinity());
    json_text::appendInt(out, std::numeric_limits<std::int64_t>::min());
    json_text::appendString(out, std::string("a\0b", 3));
    EXPECT_EQ(out, "nullnull-9223372036854775808\"a\\u0000b\"");
}
