// The departures client: the reply envelope and items read without transport, the server bases, and the client over
// scripted sessions and a virtual-clock run loop (what it sends, which server, how outcomes reach the callback).

#include "core/location/EasyLocation.h"
#include "core/service/ServerConfig.h"
#include "core/service/TarvoReply.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/AppSettings.h"
#include "core/settings/PlistJson.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/FakeHttp.h"
#include "platform/location/FakeLocationService.h"
#include "platform/runloop/ManualRunLoop.h"
#include "tests/core/service/ServiceFixture.h"
#include "tests/support/TempHome.h"

#include <sys/utsname.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <sstream>

using namespace velmo;
using velmo::test::DeparturesReply;
using velmo::test::sampleDeparture;

namespace {

const ServerBases kServers{"https://prod.test/v2/", "https://dev.test/v2/", "https://local.test:8443/v2/",
                           "/srv/tarvod/cert.pem"};

class TarvoRequestTest : public velmo::test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        makeClient(AuthorizationStatus::authorizedWhenInUse);
    }

    void makeClient(AuthorizationStatus status, bool usageDescription = true) {
        client.reset();
        Bundle::Dictionary info{{kBundleExecutableKey, "velmomac"}, {kBundleShortVersionKey, "1.4.2"}};
        if (usageDescription)
            info[kLocationUsageDescriptionKey] = "A közeli megállókhoz.";
        bundle = std::make_unique<Bundle>(std::move(info));
        location = std::make_unique<FakeLocationService>(loop, status);
        client = std::make_unique<TarvoRequest>(std::make_unique<EasyLocation>(*location, loop, *bundle, log),
                                                std::make_unique<AppSettings>(), http, loop, *bundle, kServers);
    }

    TarvoRequest::Callback record(DeparturesReply& reply) { return reply.recorder<TarvoRequest::Callback>(); }

    // One getWithLocation, run to the point where its request is on the wire.
    void queryAt(double lat, double lon, DeparturesReply& reply) {
        location->setFixOnStart(Location{lat, lon, 20.0, loop.now()});
        client->getWithLocation(false, record(reply));
        loop.runPending();
    }

    // One departures request answered with `body`.
    DeparturesReply answered(const std::string& body) {
        DeparturesReply reply;
        http.enqueue(FakeReply::withBody(body));
        client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
        EXPECT_EQ(reply.calls, 0);  // never inside the call that sent it
        loop.runPending();
        EXPECT_EQ(reply.calls, 1);
        return reply;
    }

    nlohmann::json lastBody() const { return nlohmann::json::parse(http.requests().back().bodyText()); }

    ManualRunLoop loop;
    FakeUrlSessionFactory http{loop};
    std::unique_ptr<Bundle> bundle;
    std::unique_ptr<FakeLocationService> location;
    std::ostringstream log;
    std::unique_ptr<TarvoRequest> client;
};

Envelope judge(const std::string& body, int status = 200) {
    return judgeEnvelope(Bytes(body.begin(), body.end()), UrlResponse{status, {}, "https://prod.test/v2/nearby/"},
                         std::nullopt);
}

std::optional<PlistMap> convert(const nlohmann::json& departure) { return TarvoRequest::toDictionary(JSON(departure)); }

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

TEST_F(TarvoRequestTest, DeparturesRequestFromPositionAndSettings) {
    client->settings().setStringList("settingFavTripList", "R47", "47-es villamos");
    client->settings().setStringList("settingFavStopList", "F01", "Deák Ferenc tér");
    client->settings().setStringList("settingFavStopList", "F02", "Astoria");
    client->settings().set("settingRadius", 400.0F);
    DeparturesReply reply;
    queryAt(47.4979123456, 19.0402, reply);

    ASSERT_EQ(http.requests().size(), 1u);
    const RecordedRequest& sent = http.requests()[0];
    EXPECT_EQ(sent.request.httpMethod + " " + sent.request.url, "POST https://prod.test/v2/nearby/");
    EXPECT_EQ(sent.request.cachePolicy, UrlRequestCachePolicy::reloadIgnoringLocalAndRemoteCacheData);
    EXPECT_EQ(sent.request.timeoutInterval, 25.0);
    // Narrowed to 32 bits and written with the float's own shortest text.
    EXPECT_NE(sent.bodyText().find(R"("lat":47.497913,"lon":19.0402,)"), std::string::npos) << sent.bodyText();
    nlohmann::json body = lastBody();
    body.erase("lat");
    body.erase("lon");
    EXPECT_EQ(body, nlohmann::json::parse(R"({"method": "TRIPSFORLOCATION", "fetchRadius": 1500, "realRadius": 400,
        "favRoutes": ["R47"], "favStops": ["F02", "F01"], "favSortMode": 2, "minutes": 30})"));
    utsname system{};
    uname(&system);
    // The eight identifying headers; a key missing from the bundle is sent empty.
    // clang-format off
    EXPECT_EQ(sent.configuration.additionalHeaders,
              (HeaderMap{{"X-DEVICE", system.machine}, {"X-APP", "velmomac"}, {"X-APPVERSION", "1.4.2"},
                         {"X-APPBUILD", ""}, {"X-UUID", *client->settings().get("deviceUUID")->toString()},
                         {"X-APILEVEL", "2"}, {"X-DEVICEOS", "MAC"}, {"X-DEVICEVERSION", "10.0"}}));
    // clang-format on

    // The identifying headers are read afresh for every request.
    client->settings().set("deviceUUID", "other-device");
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
    EXPECT_EQ(http.requests().at(1).configuration.additionalHeaders.at("X-UUID"), "other-device");
}

TEST_F(TarvoRequestTest, ServerAndExtraTrustChosenByUseDevelopmentServer) {
    const std::vector<std::tuple<int64_t, std::string, bool>> cases{{0, "https://prod.test/v2/more/", false},
                                                                    {1, "https://local.test:8443/v2/more/", true},
                                                                    {2, "https://dev.test/v2/more/", false},
                                                                    {3, "https://prod.test/v2/more/", false}};
    for (const auto& [stored, url, extraCa] : cases) {
        client->settings().set("useDevelopmentServer", stored);
        client->getMoreInfo("bp", "t", "s", "r", [](auto, auto) {});
        const RecordedRequest& sent = http.requests().back();
        EXPECT_EQ(sent.request.url, url);
        EXPECT_EQ(sent.configuration.extraTrustedCertificateFile.has_value(), extraCa) << url;
    }
    EXPECT_EQ(http.requests()[1].configuration.extraTrustedCertificateFile, kServers.localCertificate);
}

// An empty base is no server: nothing is sent and no position sought. A base set later counts: the widget's test.
TEST_F(TarvoRequestTest, AnUnsetBaseAsksNeitherThePositionNorTheNetwork) {
    client->setServerBases({"", "", kServers.local, kServers.localCertificate});
    for (const int64_t stored : {0, 2}) {
        client->settings().set("useDevelopmentServer", stored);
        DeparturesReply reply;
        client->getWithLocation(false, record(reply));
        EXPECT_EQ(reply.calls, 0) << "never inside the call";
        loop.runPending();  // a position asked for would only come with a fix, and none is given
        EXPECT_EQ(reply.error, "NOSERVER") << stored;
        std::optional<std::string> detailsError;
        client->getMoreInfo("bp", "t", "s", "r", [&](auto error, auto) { detailsError = error; });
        loop.runPending();
        EXPECT_EQ(detailsError, "NOSERVER") << stored;
    }
    EXPECT_TRUE(http.requests().empty());
}

TEST_F(TarvoRequestTest, RadiusRules) {
    const std::vector<std::tuple<float, float, int, int>> cases{
        {0.5F, 1500.0F, 1500, 300},  // below 1 m: 300
        {400.0F, -1.0F, 400, 400},   // no favourite radius: the radius
        {400.0F, 250.0F, 400, 400},  // the larger of the two is fetched
        {750.9F, 0.0F, 750, 750},    // truncated, not rounded
        {-20.0F, 0.99F, 300, 300},   // both replaced, the favourite by the replaced radius
        {1.0F, 1.0F, 1, 1},          // 1 m is usable
        {std::numeric_limits<float>::quiet_NaN(), 500.0F, 500, 300},
    };
    for (const auto& [radius, favourite, fetch, real] : cases) {
        UserDefaults suite(AppSettings::kAppGroup);
        suite.setFloat("settingRadius", radius);
        suite.setFloat("settingFavStopRadius", favourite);
        DeparturesReply reply;
        queryAt(47.5, 19.0, reply);
        EXPECT_EQ(lastBody()["fetchRadius"], fetch) << radius << " / " << favourite;
        EXPECT_EQ(lastBody()["realRadius"], real) << radius << " / " << favourite;
    }
}

// Favourite lists are sent as arrays of the string raw identifiers; replies reach the callback once.
TEST_F(TarvoRequestTest, FavouritesSentAsRawIdentifiersAndRepliesReachTheCallbackOnce) {
    UserDefaults suite(AppSettings::kAppGroup);
    suite.setObject("settingFavTripList", "R47");  // not a list at all
    suite.setObject("settingFavStopList", PlistList{PlistMap{{"raw", "F01"}}, PlistMap{{"display", "no raw"}},
                                                    PlistMap{{"raw", int64_t{5}}}, "not a map", PlistMap{{"raw", ""}}});
    const DeparturesReply ok = answered(R"({"error":false,"stopDates":[{"a":1}],"stopDatesNearby":[],)"
                                        R"("cityName":"Budapest","cityURL":"https://bkk.example/","cityKey":"bp"})");
    EXPECT_FALSE(ok.error || ok.reserved);
    ASSERT_TRUE(ok.stopDates && ok.stopDatesNearby);
    EXPECT_EQ(ok.stopDates->count(), 1u);
    EXPECT_EQ(ok.stopDatesNearby->type(), JSON::Type::array);
    EXPECT_EQ(*ok.cityName + " " + *ok.cityURL + " " + *ok.cityKey, "Budapest https://bkk.example/ bp");
    EXPECT_EQ(lastBody()["favRoutes"], nlohmann::json::array());
    EXPECT_EQ(lastBody()["favStops"], nlohmann::json::array({"F01", ""}));

    const DeparturesReply bare = answered(R"({"error":false,"cityName":7})");
    EXPECT_EQ(bare.stopDates.value_or(JSON(1)).type(), JSON::Type::null);
    EXPECT_FALSE(bare.cityName);

    const DeparturesReply failed =
        answered(R"({"error":true,"errorMessage":"NEWSTABLE","stopDates":[],"cityKey":"bp"})");
    EXPECT_EQ(failed.error, "NEWSTABLE");
    EXPECT_FALSE(failed.stopDates || failed.stopDatesNearby || failed.cityKey);
}

TEST_F(TarvoRequestTest, LocationFailuresBecomeCodesWithoutARequest) {
    const std::vector<std::tuple<AuthorizationStatus, bool, std::string>> cases{
        {AuthorizationStatus::restricted, true, "NOLOCATIONDISABLED"},
        {AuthorizationStatus::denied, true, "NOLOCATIONACCESS"},
        {AuthorizationStatus::authorizedWhenInUse, true, "NOLOCATION"},  // the platform fails
        {AuthorizationStatus::notDetermined, false, "NOLOCATION"},       // no usage description
    };
    for (const auto& [status, usage, code] : cases) {
        makeClient(status, usage);
        DeparturesReply reply;
        client->getWithLocation(false, record(reply));
        loop.runPending();
        location->fail(LocationError{LocationError::network, "no network"});
        loop.runPending();
        EXPECT_EQ(reply.calls, 1);
        EXPECT_EQ(reply.error, code);
    }
    EXPECT_TRUE(http.requests().empty());
}

TEST_F(TarvoRequestTest, LocationTimeOutFallsBackToAStoredFixOfAtMost500Metres) {
    for (const auto& [accuracy, requests] : {std::pair{500.0, 1u}, std::pair{500.5, 0u}}) {
        makeClient(AuthorizationStatus::authorizedWhenInUse);
        DeparturesReply first;  // leaves its fix with the provider
        client->getWithLocation(false, record(first));
        loop.runPending();
        location->deliverLocation(Location{47.5, 19.0, accuracy, loop.now()});
        loop.runPending();
        const std::size_t before = http.requests().size();

        DeparturesReply reply;  // gets no fix of its own
        client->getWithLocation(false, record(reply));
        loop.advance(RunLoop::Seconds{29.9});
        EXPECT_EQ(http.requests().size(), before);
        EXPECT_EQ(reply.calls, 0);
        loop.advance(RunLoop::Seconds{0.2});  // past the 30-second deadline
        EXPECT_EQ(http.requests().size() - before, requests) << accuracy;
        EXPECT_EQ(reply.error, requests == 0 ? std::optional<std::string>("NOLOCATION") : std::nullopt);
    }
}

TEST_F(TarvoRequestTest, CancelStopsNeitherThePositionNorTheServer) {
    DeparturesReply reply;
    client->getWithLocation(false, record(reply));
    client->cancel();
    loop.runPending();
    location->deliverLocation(Location{47.5, 19.0, 30.0, loop.now()});
    loop.runPending();
    ASSERT_EQ(http.requests().size(), 1u);
    client->cancel();
    http.enqueue(FakeReply::withBody(R"({"error":false,"stopDates":[]})"));
    loop.runPending();
    EXPECT_EQ(reply.calls, 1);
    EXPECT_FALSE(reply.error);
}

TEST_F(TarvoRequestTest, DetailsQueriesSendTheSameBodyToTheirOwnEndpoints) {
    std::vector<std::pair<std::optional<std::string>, std::optional<JSON>>> answers;
    const auto keep = [&](auto error, auto reply) { answers.emplace_back(error, reply); };
    http.enqueue(FakeReply::withBody(R"({"error":false,"trip":{"tripId":"T1"}})"));
    http.enqueue(FakeReply::withBody(R"({"error":true,"errorMessage":"NOTRIPS"})"));
    client->getMoreInfo("bp", "VDE=", "RjAx", "UjQ3", keep);
    client->getVehicleInfo("bp", "VDE=", "RjAx", "UjQ3", keep);
    EXPECT_TRUE(answers.empty());
    loop.runPending();

    ASSERT_EQ(http.requests().size(), 2u);
    EXPECT_EQ(http.requests()[1].request.url, "https://prod.test/v2/vehicle/");
    EXPECT_EQ(http.requests()[0].bodyText(), http.requests()[1].bodyText());
    EXPECT_EQ(lastBody(),
              nlohmann::json::parse(R"({"city":"bp","tripIdB64":"VDE=","stopIdB64":"RjAx","routeIdB64":"UjQ3"})"));
    ASSERT_EQ(answers.size(), 2u);
    ASSERT_TRUE(answers[0].second && !answers[0].first);
    const JSON tripId = (*answers[0].second)[{"trip", "tripId"}];  // the reply is passed on whole
    EXPECT_EQ(tripId.string(), "T1");
    EXPECT_EQ(answers[1].first, "NOTRIPS");
    EXPECT_FALSE(answers[1].second);

    // A body that cannot be serialised sends nothing: details report it before the call
    // returns, departures later on the main loop.
    std::optional<std::string> detailsError;
    client->getVehicleInfo("bp", "\xff\xfe", "s", "r", [&](auto error, auto) { detailsError = error; });
    EXPECT_EQ(detailsError, "DOWNLOADERROR");
    DeparturesReply reply;
    client->get(std::numeric_limits<float>::quiet_NaN(), 19.0F, 300.0F, 300.0F, false, record(reply));
    EXPECT_EQ(reply.calls, 0);
    loop.runPending();
    EXPECT_EQ(reply.error, "DOWNLOADERROR");
    EXPECT_EQ(http.requests().size(), 2u);
}

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

// The members beyond the required ones: "warningText" only when "warning" is true (its strings,
// in order), "tripCancelled" only as a boolean; without them the item is the one it always was.
TEST(ToDictionary, WarningTextsAndTripCancelledOnlyWhenTheyApply) {
    using Json = std::optional<nlohmann::json>;
    using Plist = std::optional<PlistValue>;
    // warning, warningText, tripCancelled, then what the item holds for each
    const std::vector<std::tuple<bool, Json, Json, Plist, Plist>> cases{
        {false, nlohmann::json::array({"ignored"}), std::nullopt, std::nullopt, std::nullopt},
        {true, std::nullopt, true, PlistList{}, true},
        {true, nlohmann::json{{"b", "második"}, {"a", "első"}}, false, PlistList{"első", "második"}, false},
        {true, nlohmann::json::array({"egy", 2, nullptr, "három"}), 1, PlistList{"egy", "három"}, std::nullopt}};
    for (const auto& [warning, texts, cancelled, expectedTexts, expectedCancelled] : cases) {
        nlohmann::json departure = sampleDeparture();
        departure["warning"] = warning;
        if (texts)
            departure["warningText"] = *texts;
        if (cancelled)
            departure["tripCancelled"] = *cancelled;
        const std::optional<PlistMap> item = convert(departure);
        ASSERT_TRUE(item) << departure.dump();
        EXPECT_EQ(item->size(), 22u + (expectedTexts ? 1 : 0) + (expectedCancelled ? 1 : 0)) << departure.dump();
        for (const auto& [key, expected] :
             {std::pair{"warningText", expectedTexts}, {"tripCancelled", expectedCancelled}})
            EXPECT_EQ(item->contains(key) ? std::optional(item->at(key)) : std::nullopt, expected) << key;
    }
}

TEST(ToErrorString, TheServersTextWinsAndUnknownCodesAreUnknown) {
    // clang-format off
    const std::vector<std::pair<std::string, std::string>> cases{
        {"NOSTOPS", "Nincs megálló a közeledben"}, {"nostops", "Ismeretlen hiba!"}, {"A::B::C", "B"},
        {"NOSTOPS::Saját szöveg", "Saját szöveg"}, {"::Csak szöveg", "Csak szöveg"}, {"A:B", "Ismeretlen hiba!"},
        {"A:::B", ":B"}, {"NOSERVER", "Nincs beállítva kiszolgáló"}};
    // clang-format on
    for (const auto& [code, message] : cases)
        EXPECT_EQ(TarvoRequest::toErrorString(code), message) << "code \"" << code << "\"";
}

TEST(ServerConfig, ParsesKeysQuotesAndComments) {
    const ServerBases& s = kServers;
    // name, text, bases, lines of error messages
    const std::vector<std::tuple<const char*, const char*, ServerBases, int>> cases{
        {"empty", "", s, 0},
        {"all four keys",
         "production = https://p.example/v2/\ndevelopment=https://d.example/api/v2/\n"
         "local = https://127.0.0.1:9443/v2/\nlocal_ca = /tmp/ca.pem\n",
         {"https://p.example/v2/", "https://d.example/api/v2/", "https://127.0.0.1:9443/v2/", "/tmp/ca.pem"},
         0},
        {"quoted values",
         "local = \"https://[::1]:8443/v2/\"  # loopback\nlocal_ca=\"/a b/#c.pem\"\n",
         {s.production, s.development, "https://[::1]:8443/v2/", "/a b/#c.pem"},
         0},
        {"plain http refused", "production = http://p.example/v2/\n", s, 1},
        {"empty value", "production =\nlocal_ca = \"\"\n", s, 2},
        {"text after the quote", "local = \"https://l.example/v2/\" extra\n", s, 1},
        {"a bad line keeps the good one before it",
         "local = https://good.example/v2/\nlocal = ftp://bad.example/v2/\n",
         {s.production, s.development, "https://good.example/v2/", s.localCertificate},
         1},
    };
    for (const auto& [name, text, expected, errorLines] : cases) {
        std::ostringstream err;
        EXPECT_EQ(parseServerConfig(text, kServers, err), expected) << name;
        EXPECT_EQ(lines(err.str()), errorLines) << name << ": " << err.str();
    }
}

class ServerConfigFile : public velmo::test::TempHome {};

TEST_F(ServerConfigFile, BuiltInBasesAndTheUsersFolders) {
    std::ostringstream err;
    const ServerBases builtIn = loadServerBases(err);
    EXPECT_EQ(builtIn.local, "https://localhost:8443/v2/");
    EXPECT_EQ(builtIn.localCertificate, (root() / "data" / "tarvod" / "tls" / "cert.pem").string());
    EXPECT_EQ(serverConfigPath(), (suiteFolder() / "servers.conf").string());

    // A relative XDG_DATA_HOME is ignored: the certificate is looked for under HOME.
    velmo::test::ScopedEnv data("XDG_DATA_HOME", "relative/data");
    velmo::test::ScopedEnv home("HOME", root().string());
    EXPECT_EQ(ServerBases::builtIn().localCertificate, (root() / ".local/share/tarvod/tls/cert.pem").string());
}
