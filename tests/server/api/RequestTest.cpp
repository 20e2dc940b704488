#include "server/api/Request.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

using namespace velmo::api;
using velmo::query::NearbyParams;

namespace {

const std::string kGood = R"({"method":"TRIPSFORLOCATION","lat":47.5,"lon":19.05,"fetchRadius":800,"realRadius":300,)"
                          R"("favRoutes":["R9"],"favStops":[],"favSortMode":2,"minutes":30})";

// The good body with one member replaced (removed when `value` is empty).
std::string with(const std::string& member, const std::string& value) {
    auto j = nlohmann::json::parse(kGood);
    if (value.empty()) {
        j.erase(member);
    } else {
        j[member] = nlohmann::json::parse(value);
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
    auto body = nlohmann::json::parse(kGood);
    body["fetchRadius"] = -20;
    body["realRadius"] = 1e12;
    body["minutes"] = 121.9;
    body["favSortMode"] = 17;
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
        ASSERT_TRUE(std::holds_alternative<ApiError>(parsed)) << bad;
        EXPECT_EQ(std::pair(std::get<ApiError>(parsed).code, std::get<ApiError>(parsed).status),
                  std::pair(std::string("BADREQUEST"), 400));
    }
}

TEST(ParseDetails, DecodesStrictBase64Identifiers) {
    const std::pair<const char*, std::string> good[] = {{"", ""},      {"VDE=", "T1"},        {"VDEy", "T12"},
                                                        {"VA==", "T"}, {"w6F0", "\xC3\xA1t"}, {"Pz8/", "???"}};
    for (const auto& [in, out] : good) {
        EXPECT_EQ(decodeBase64(in), out) << in;
    }
    for (const char* bad : {"VDE", "VD=E", "V===", "VDE*", "VD E", "Pz8_"}) {
        EXPECT_EQ(decodeBase64(bad), std::nullopt) << bad;
    }
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
    // X-APILEVEL, X-APP, X-APPVERSION, X-APPBUILD; the answer ("" when let through).
    const std::array<std::string, 5> cases[] = {{"2", "velmomac", "1.4.2", "120", ""},
                                                {"2", "velmomac", "1.10", "999", ""},
                                                {"1", "velmomac", "9", "999", "NEWSTABLE"},
                                                {"", "velmomac", "9", "999", "NEWSTABLE"},
                                                {"2", "velmomac", "1.4.1", "999", "NEWSTABLE"},
                                                {"2", "velmomac", "", "999", "NEWSTABLE"},
                                                {"2", "velmomac", "1.4.2", "119", "NEWTESTFLIGHT"},
                                                {"2", "velmomac", "1.4.2", "x", "NEWTESTFLIGHT"},
                                                {"2", "velmomactoday", "0.1", "", ""}};
    static constexpr std::array<std::string_view, 4> names{"X-APILEVEL", "X-APP", "X-APPVERSION", "X-APPBUILD"};
    for (const auto& c : cases) {
        const auto header = [&c](std::string_view name) {
            const auto at = static_cast<std::size_t>(std::ranges::find(names, name) - names.begin());
            return at < names.size() ? c[at] : std::string();
        };
        const auto refused = checkClient(header, policy);
        EXPECT_EQ(std::pair(refused ? refused->code : "", refused ? refused->status : 200), std::pair(c[4], 200))
            << c[1] << " " << c[2] << " " << c[3];
    }
    EXPECT_LT(compareVersions("1.9", "1.10"), 0);
    EXPECT_EQ(compareVersions("1.0", "1"), 0);
    EXPECT_GT(compareVersions("2", "1.99.99"), 0);
}
