// The departures client over scripted sessions and a virtual-clock run loop: what it sends,
// which server it picks, and how location and server outcomes reach the callback.

#include "core/location/EasyLocation.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/FakeHttp.h"
#include "platform/location/FakeLocationService.h"
#include "platform/runloop/ManualRunLoop.h"
#include "tests/core/service/ServiceFixture.h"
#include "tests/support/TempHome.h"

#include <limits>
#include <sstream>
#include <sys/utsname.h>

using namespace velmo;
using velmo::test::DeparturesReply;

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
    client->settings().set("deviceUUID", "UUID");
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
    const auto uuid = [this](int i) { return http.requests().at(i).configuration.additionalHeaders.at("X-UUID"); };
    EXPECT_EQ(uuid(1), *client->settings().get("deviceUUID")->toString());
    EXPECT_NE(uuid(0), uuid(1));
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

TEST_F(TarvoRequestTest, FavouriteListsAreArraysOfTheStringRawIdentifiers) {
    UserDefaults suite(AppSettings::kAppGroup);
    suite.setObject("settingFavTripList", "R47");  // not a list at all
    suite.setObject("settingFavStopList", PlistList{PlistMap{{"raw", "F01"}}, PlistMap{{"display", "no raw"}},
                                                    PlistMap{{"raw", int64_t{5}}}, "not a map", PlistMap{{"raw", ""}}});
    answered(R"({"error":false})");
    EXPECT_EQ(lastBody()["favRoutes"], nlohmann::json::array());
    EXPECT_EQ(lastBody()["favStops"], nlohmann::json::array({"F01", ""}));
}

TEST_F(TarvoRequestTest, RepliesReachTheCallbackOnce) {
    const DeparturesReply ok = answered(R"({"error":false,"stopDates":[{"a":1}],"stopDatesNearby":[],)"
                                        R"("cityName":"Budapest","cityURL":"https://bkk.example/","cityKey":"bp"})");
    EXPECT_FALSE(ok.error || ok.reserved);
    ASSERT_TRUE(ok.stopDates && ok.stopDatesNearby);
    EXPECT_EQ(ok.stopDates->count(), 1u);
    EXPECT_EQ(ok.stopDatesNearby->type(), JSON::Type::array);
    EXPECT_EQ(*ok.cityName + " " + *ok.cityURL + " " + *ok.cityKey, "Budapest https://bkk.example/ bp");

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
