// Reading the service's replies without any transport: the envelope, the departure items
// and the messages of error codes.

#include "core/service/TarvoReply.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/PlistJson.h"
#include "tests/core/service/ServiceFixture.h"

#include <gtest/gtest.h>

using namespace velmo;
using velmo::test::sampleDeparture;

namespace {

Envelope judge(const std::string& body, int status = 200) {
    return judgeEnvelope(Bytes(body.begin(), body.end()), UrlResponse{status, {}, "https://prod.test/v2/nearby/"},
                         std::nullopt);
}

std::optional<PlistMap> convert(const nlohmann::json& departure) { return TarvoRequest::toDictionary(JSON(departure)); }

}  // namespace

TEST(Envelope, JudgedByTheBodyUnlessARedirect) {
    for (const int status : {200, 299, 400, 500})
        EXPECT_TRUE(judge(R"({"error":false,"stopDates":[]})", status).succeeded()) << status;
    for (const int status : {300, 302, 303, 307, 399})
        EXPECT_EQ(judge(R"({"error":false,"stopDates":[]})", status).code, "DOWNLOADERROR") << status;
    EXPECT_EQ(judgeEnvelope(std::nullopt, std::nullopt, std::nullopt).code, "DOWNLOADERROR");
    EXPECT_EQ(judgeEnvelope(Bytes{'{', '}'}, std::nullopt, UrlError{UrlError::timedOut, "timed out"}).code,
              "DOWNLOADERROR");
    // body, then the code (absent: the server declared an error without naming one)
    // clang-format off
    const std::vector<std::pair<std::string, std::optional<std::string>>> failures{
        {"Bad Gateway", "DOWNLOADERROR"}, {R"([{"error":false}])", "DOWNLOADERROR"},
        {R"({"error":"false"})", "DOWNLOADERROR"}, {R"({"error":true})", std::nullopt},
        {R"({"error":true,"errorMessage":5})", std::nullopt},
        {R"({"error":true,"errorMessage":"NOTRIPS","errorMessageText":"Ma már nincs"})", "NOTRIPS::Ma már nincs"},
        {R"({"error":true,"errorMessage":"NOTRIPS","errorMessageText":1})", "NOTRIPS"},
        {R"({"error":true,"errorMessageText":"Hibás kérés"})", "::Hibás kérés"}};
    // clang-format on
    for (const auto& [body, code] : failures) {
        const Envelope envelope = judge(body);
        EXPECT_FALSE(envelope.succeeded()) << body;
        EXPECT_EQ(envelope.code, code) << body;
    }
}

TEST(ToDictionary, RenamesAndRetypesEveryMember) {
    nlohmann::json departure = sampleDeparture();
    departure["stopLon"] = 19;                    // an integer becomes a double
    departure["stopDistance"] = -5.9;             // toward zero
    departure["tripDepartureTimestamp"] = false;  // int accepts a bool as 0
    const std::optional<PlistMap> item = convert(departure);
    ASSERT_TRUE(item);
    // The kinds show in the text: doubles keep a point, integers have none.
    EXPECT_EQ(plistToJson(PlistValue(*item)).dump(),
              R"({"departure":0,"departureGPS":true,"departureMinutes":"3","departureSeconds":30600,)"
              R"("favRoute":true,"favStop":false,"hasDetails":true,"name":"Deák Ferenc tér","nearest":true,)"
              R"("routeId":"R47","routeIdUniq":"R47|0","shortName":"47","stopDistance":-5,"stopId":"F01",)"
              R"("stopIdUniq":"F01-a","stopLat":47.497913,"stopLon":19.0,"tripHeadsign":"Budafok","tripId":"T1",)"
              R"("tripIdUniq":"T1@20250314","type":"TRAM","warning":false})");
}

// Every member is required (a missing one: absent here) and of its own kind.
TEST(ToDictionary, EveryMemberIsRequiredAndOfItsKind) {
    std::vector<std::pair<std::string, std::optional<nlohmann::json>>> spoilt{
        {"tripDepartureGPS", 1},   {"stopNearest", "true"}, {"stopLat", "47.5"},
        {"stopDistance", nullptr}, {"routeName", 47},       {"stopFavoriteId", nlohmann::json::array()}};
    for (const auto& [member, value] : sampleDeparture().get<nlohmann::json::object_t>())
        spoilt.emplace_back(member, std::nullopt);
    for (const auto& [member, value] : spoilt) {
        nlohmann::json departure = sampleDeparture();
        departure.erase(member);
        if (value)
            departure[member] = *value;
        EXPECT_FALSE(convert(departure)) << member;
    }
    EXPECT_FALSE(TarvoRequest::toDictionary(JSON("not an item")));
}

TEST(ToDictionary, WarningTextsOnlyWhenWarningIsTrue) {
    const std::vector<std::tuple<bool, std::optional<nlohmann::json>, std::optional<PlistList>>> cases{
        {false, nlohmann::json::array({"ignored"}), std::nullopt},
        {true, std::nullopt, PlistList{}},
        {true, nlohmann::json{{"b", "második"}, {"a", "első"}}, PlistList{"első", "második"}},
        {true, nlohmann::json::array({"egy", 2, nullptr, "három"}), PlistList{"egy", "három"}}};
    for (const auto& [warning, texts, expected] : cases) {
        nlohmann::json departure = sampleDeparture();
        departure["warning"] = warning;
        if (texts)
            departure["warningText"] = *texts;
        const std::optional<PlistMap> item = convert(departure);
        ASSERT_TRUE(item);
        if (expected) {
            EXPECT_EQ(item->at("warningText"), PlistValue(*expected)) << departure.dump();
        } else {
            EXPECT_FALSE(item->contains("warningText"));
        }
    }
}

TEST(ToErrorString, TheServersTextWinsAndUnknownCodesAreUnknown) {
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases{
        {"NOSTOPS", "Nincs megálló a közeledben"}, {"nostops", "Ismeretlen hiba!"}, {"A::B::C", "B"},
        {"NOSTOPS::Saját szöveg", "Saját szöveg"}, {"::Csak szöveg", "Csak szöveg"}, {"A:B", "Ismeretlen hiba!"},
        {"A:::B", ":B"}};
    // clang-format on
    for (const auto& [code, message] : cases)
        EXPECT_EQ(TarvoRequest::toErrorString(code), message) << "code \"" << code << "\"";
}
