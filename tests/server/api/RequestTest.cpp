#include "server/api/Request.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

using namespace velmo::api;
using velmo::query::NearbyParams;

namespace {

const std::string kGood = R"({"method":"TRIPSFORLOCATION","lat":47.5,"lon":19.05,"fetchRadius":800,"realRadius":300,)"
                          R"("favRoutes":["R9"],"favStops":[],"favSortMode":2,"minutes":30})";

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

TEST(ParseNearby, ReadsTheClientBody) {
    const auto parsed = parseNearby(kGood);
    ASSERT_TRUE(std::holds_alternative<NearbyParams>(parsed));
    const auto& p = std::get<NearbyParams>(parsed);
    EXPECT_DOUBLE_EQ(p.lat, 47.5);
    EXPECT_EQ(p.fetchRadius, 800);
    EXPECT_EQ(p.realRadius, 300);
    EXPECT_EQ(p.minutes, 30);
    EXPECT_EQ(p.favSortMode, 2);
    EXPECT_EQ(p.favRoutes, std::vector<std::string>{"R9"});
}

TEST(ParseNearby, RejectsMalformedBodies) {
    const std::string bad[] = {
        "",
        "not json",
        "[1,2,3]",
        "\"TRIPSFORLOCATION\"",
        R"({"method":"TRIPSFORLOCATION","lat":NaN})",
        with("method", "\"NEARBY\""),
        with("method", ""),
        with("lat", ""),
        with("lat", "\"47.5\""),
        with("lat", "91"),
        with("lon", "-180.5"),
        with("lon", "1e300"),
        R"({"method":"TRIPSFORLOCATION","lat":1e999,"lon":19.05,"fetchRadius":800,"realRadius":300,)"
        R"("favRoutes":[],"favStops":[],"favSortMode":2,"minutes":30})",
        with("fetchRadius", "\"800\""),
        with("minutes", "null"),
        with("favSortMode", "true"),
        with("favRoutes", "\"R9\""),
        with("favStops", "[1]"),
        with("favStops", ""),
    };
    for (const auto& body : bad) {
        const auto parsed = parseNearby(body);
        ASSERT_TRUE(std::holds_alternative<ApiError>(parsed)) << body;
        EXPECT_EQ(std::get<ApiError>(parsed).code, "BADREQUEST");
        EXPECT_EQ(std::get<ApiError>(parsed).status, 400);
    }
}

TEST(ParseNearby, ClampsOutOfRangeNumbers) {
    auto body = nlohmann::json::parse(kGood);
    body["fetchRadius"] = -20;
    body["realRadius"] = 1e12;
    body["minutes"] = 30.9;
    body["favSortMode"] = 17;
    body["favStops"] = std::vector<std::string>(10000, "S");
    const auto p = std::get<NearbyParams>(parseNearby(body.dump()));
    EXPECT_EQ(p.fetchRadius, 1);
    EXPECT_EQ(p.realRadius, 5000);
    EXPECT_EQ(p.minutes, 30);
    EXPECT_EQ(p.favSortMode, 3);
    EXPECT_EQ(p.favStops.size(), 500u);
}

TEST(DecodeBase64, StrictStandardAlphabet) {
    const std::map<std::string, std::optional<std::string>> cases{
        {"", ""},
        {"VDE=", "T1"},
        {"VDEy", "T12"},
        {"VA==", "T"},
        {"w6F0", "\xC3\xA1t"},
        {"Pz8/", "???"},
        {"VDE", std::nullopt},
        {"VD=E", std::nullopt},
        {"V===", std::nullopt},
        {"VDE*", std::nullopt},
        {"VD E", std::nullopt},
        {"Pz8_", std::nullopt},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(decodeBase64(in), out) << in;
    }
}

TEST(ParseDetails, DecodesIdentifiers) {
    const auto d = std::get<DetailsRequest>(
        parseDetails(R"({"city":"bp","tripIdB64":"VDE=","stopIdB64":"QQ==","routeIdB64":"Ujk="})"));
    EXPECT_EQ(d.city, "bp");
    EXPECT_EQ(d.tripId, "T1");
    EXPECT_EQ(d.stopId, "A");
    EXPECT_EQ(d.routeId, "R9");
    for (const char* bad : {R"({"city":"bp","tripIdB64":"VDE","stopIdB64":"QQ==","routeIdB64":"Ujk="})",
                            R"({"city":"bp","tripIdB64":"VDE=","stopIdB64":"QQ=="})",
                            R"({"city":1,"tripIdB64":"VDE=","stopIdB64":"QQ==","routeIdB64":"Ujk="})", "[]"}) {
        EXPECT_TRUE(std::holds_alternative<ApiError>(parseDetails(bad))) << bad;
    }
}

TEST(CheckClient, ApiLevelVersionAndBuildGates) {
    const VersionPolicy policy{{"velmomac", {"1.4.2", 120}}};
    struct Case {
        std::map<std::string, std::string> headers;
        const char* code;  // nullptr: allowed
    };
    const Case cases[] = {
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.4.2"}, {"X-APPBUILD", "120"}}, nullptr},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.10"}, {"X-APPBUILD", "999"}}, nullptr},
        {{{"X-APILEVEL", "1"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "9"}, {"X-APPBUILD", "999"}}, "NEWSTABLE"},
        {{{"X-APP", "velmomac"}, {"X-APPVERSION", "9"}, {"X-APPBUILD", "999"}}, "NEWSTABLE"},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.4.1"}, {"X-APPBUILD", "999"}}, "NEWSTABLE"},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPBUILD", "999"}}, "NEWSTABLE"},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.4.2"}, {"X-APPBUILD", "119"}},
         "NEWTESTFLIGHT"},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.4.2"}, {"X-APPBUILD", "x"}}, "NEWTESTFLIGHT"},
        {{{"X-APILEVEL", "2"}, {"X-APP", "velmomactoday"}, {"X-APPVERSION", "0.1"}}, nullptr},
    };
    for (const auto& c : cases) {
        const auto lookup = [&](std::string_view name) {
            const auto it = c.headers.find(std::string(name));
            return it == c.headers.end() ? std::string() : it->second;
        };
        const auto refused = checkClient(lookup, policy);
        if (c.code == nullptr) {
            EXPECT_FALSE(refused.has_value());
        } else {
            ASSERT_TRUE(refused.has_value()) << c.code;
            EXPECT_EQ(refused->code, c.code);
            EXPECT_EQ(refused->status, 200);
        }
    }
    EXPECT_LT(compareVersions("1.9", "1.10"), 0);
    EXPECT_EQ(compareVersions("1.0", "1"), 0);
    EXPECT_GT(compareVersions("2", "1.99.99"), 0);
}
