#include "core/service/TarvoRequest.h"

#include "ServiceFixture.h"
#include "core/location/EasyLocation.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/FakeHttp.h"
#include "platform/location/FakeLocationService.h"
#include "platform/runloop/ManualRunLoop.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <sstream>
#include <sys/utsname.h>

using namespace velmo;
using velmo::test::DeparturesReply;
using velmo::test::recordInto;

namespace {

const ServerBases kServers{"https://prod.test/v2/", "https://dev.test/v2/", "https://local.test:8443/v2/",
                           "/srv/tarvod/cert.pem"};

Bundle::Dictionary bundleInfo() {
    return {{kBundleExecutableKey, "velmomac"},
            {kBundleShortVersionKey, "1.4.2"},
            {kBundleVersionKey, "318"},
            {kLocationUsageDescriptionKey, "A közeli megállókhoz."}};
}

std::string machineName() {
    utsname system{};
    uname(&system);
    return system.machine;
}

class TarvoRequestTest : public velmo::test::PrivateFolders {
protected:
    void SetUp() override {
        PrivateFolders::SetUp();
        makeClient(AuthorizationStatus::authorizedWhenInUse, bundleInfo());
    }

    void makeClient(AuthorizationStatus status, Bundle::Dictionary info) {
        client.reset();
        bundle = std::make_unique<Bundle>(std::move(info));
        location = std::make_unique<FakeLocationService>(loop, status);
        client = std::make_unique<TarvoRequest>(std::make_unique<EasyLocation>(*location, loop, *bundle, locationLog),
                                                std::make_unique<AppSettings>(), http, loop, *bundle, kServers);
    }

    TarvoRequest::Callback record(DeparturesReply& reply) { return recordInto<TarvoRequest::Callback>(reply); }

    // Runs one getWithLocation to the point where its request is on the wire.
    void queryAt(double lat, double lon, DeparturesReply& reply, bool skipNearby = false) {
        location->setFixOnStart(Location{lat, lon, 20.0, loop.now()});
        client->getWithLocation(skipNearby, record(reply));
        loop.runPending();
    }

    nlohmann::json lastBody() const {
        EXPECT_FALSE(http.requests().empty());
        return nlohmann::json::parse(http.requests().back().bodyText());
    }

    ManualRunLoop loop;
    FakeUrlSessionFactory http{loop};
    std::unique_ptr<Bundle> bundle;
    std::unique_ptr<FakeLocationService> location;
    std::ostringstream locationLog;
    std::unique_ptr<TarvoRequest> client;
};

}  // namespace

TEST_F(TarvoRequestTest, DeparturesRequestOnTheWire) {
    client->settings().setStringList("settingFavTripList", "R47", "47-es villamos");
    client->settings().setStringList("settingFavStopList", "F01", "Deák Ferenc tér");
    client->settings().setStringList("settingFavStopList", "F02", "Astoria");
    client->settings().set("settingRadius", 400.0F);
    const std::string uuid = *client->settings().get("deviceUUID")->toString();
    ASSERT_EQ(uuid.size(), 36u);

    DeparturesReply reply;
    queryAt(47.4979123456, 19.0402, reply);

    ASSERT_EQ(http.requests().size(), 1u);
    const RecordedRequest& sent = http.requests()[0];
    EXPECT_EQ(sent.request.url, "https://prod.test/v2/nearby/");
    EXPECT_EQ(sent.request.httpMethod, "POST");
    EXPECT_EQ(sent.request.cachePolicy, UrlRequestCachePolicy::reloadIgnoringLocalAndRemoteCacheData);
    EXPECT_EQ(sent.request.timeoutInterval, 25.0);
    EXPECT_TRUE(sent.request.headers.empty());  // the session carries the only headers added
    EXPECT_FALSE(sent.configuration.extraTrustedCertificateFile);
    EXPECT_EQ(sent.configuration.additionalHeaders, (HeaderMap{
                                                        {"X-DEVICE", machineName()},
                                                        {"X-APP", "velmomac"},
                                                        {"X-APPVERSION", "1.4.2"},
                                                        {"X-APPBUILD", "318"},
                                                        {"X-UUID", uuid},
                                                        {"X-APILEVEL", "2"},
                                                        {"X-DEVICEOS", "MAC"},
                                                        {"X-DEVICEVERSION", "10.0"},
                                                    }));

    const nlohmann::json body = lastBody();
    EXPECT_EQ(body.size(), 9u);
    EXPECT_EQ(body["method"], "TRIPSFORLOCATION");
    ASSERT_TRUE(body["lat"].is_number_float());
    // Narrowed to 32 bits and written with the float's own shortest text.
    EXPECT_NE(sent.bodyText().find("\"lat\":47.497913,"), std::string::npos) << sent.bodyText();
    EXPECT_EQ(static_cast<float>(body["lat"].get<double>()), static_cast<float>(47.4979123456));
    EXPECT_NE(sent.bodyText().find("\"lon\":19.0402,"), std::string::npos) << sent.bodyText();
    ASSERT_TRUE(body["fetchRadius"].is_number_integer());
    EXPECT_EQ(body["fetchRadius"], 1500);
    ASSERT_TRUE(body["realRadius"].is_number_integer());
    EXPECT_EQ(body["realRadius"], 400);
    EXPECT_EQ(body["favRoutes"], nlohmann::json::array({"R47"}));
    EXPECT_EQ(body["favStops"], nlohmann::json::array({"F02", "F01"}));  // stored order: sorted by display
    ASSERT_TRUE(body["favSortMode"].is_number_integer());
    EXPECT_EQ(body["favSortMode"], 2);
    ASSERT_TRUE(body["minutes"].is_number_integer());
    EXPECT_EQ(body["minutes"], 30);
    EXPECT_FALSE(body.contains("settingFavSortMode"));
    EXPECT_EQ(reply.calls, 0);
}

TEST_F(TarvoRequestTest, HeadersAreReadAfreshForEveryRequest) {
    DeparturesReply first, second;
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(first));
    client->settings().set("deviceUUID", "UUID");  // a new identifier
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(second));
    ASSERT_EQ(http.requests().size(), 2u);
    const std::string before = http.requests()[0].configuration.additionalHeaders.at("X-UUID");
    const std::string after = http.requests()[1].configuration.additionalHeaders.at("X-UUID");
    EXPECT_NE(before, after);
    EXPECT_EQ(after, *client->settings().get("deviceUUID")->toString());
    // Each request has a session of its own.
    EXPECT_EQ(http.requests()[0].session, 0);
    EXPECT_EQ(http.requests()[1].session, 1);
}

TEST_F(TarvoRequestTest, ServerChosenByUseDevelopmentServer) {
    struct Case {
        std::optional<PlistValue> stored;
        std::string url;
        bool extraCa;
    };
    const std::vector<Case> cases{
        {std::nullopt, "https://prod.test/v2/more/", false},    {int64_t{0}, "https://prod.test/v2/more/", false},
        {int64_t{1}, "https://local.test:8443/v2/more/", true}, {int64_t{2}, "https://dev.test/v2/more/", false},
        {int64_t{3}, "https://prod.test/v2/more/", false},      {int64_t{-1}, "https://prod.test/v2/more/", false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        if (cases[i].stored) {
            client->settings().set("useDevelopmentServer", *cases[i].stored);
        } else {
            UserDefaults(AppSettings::kAppGroup).removeObjectForKey("useDevelopmentServer");
        }
        client->getMoreInfo("bp", "t", "s", "r", [](auto, auto) {});
        ASSERT_EQ(http.requests().size(), i + 1);
        const RecordedRequest& sent = http.requests().back();
        EXPECT_EQ(sent.request.url, cases[i].url);
        if (cases[i].extraCa) {
            EXPECT_EQ(sent.configuration.extraTrustedCertificateFile,
                      std::optional<std::string>(kServers.localCertificate));
        } else {
            EXPECT_FALSE(sent.configuration.extraTrustedCertificateFile);
        }
    }
}

TEST_F(TarvoRequestTest, RadiusRules) {
    struct Case {
        float radius;
        float favouriteRadius;
        int fetch;
        int real;
    };
    const std::vector<Case> cases{
        {0.5F, 1500.0F, 1500, 300},  // below 1 m: 300
        {400.0F, -1.0F, 400, 400},   // no favourite radius: the radius
        {400.0F, 250.0F, 400, 400},  // the larger of the two is fetched
        {750.9F, 0.0F, 750, 750},    // truncated, not rounded
        {-20.0F, 0.99F, 300, 300},   // both replaced, the favourite by the replaced radius
        {1000.0F, 1250.5F, 1250, 1000}, {std::numeric_limits<float>::quiet_NaN(), 500.0F, 500, 300},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.radius) + " / " + std::to_string(c.favouriteRadius));
        UserDefaults suite(AppSettings::kAppGroup);
        suite.setFloat("settingRadius", c.radius);
        suite.setFloat("settingFavStopRadius", c.favouriteRadius);
        DeparturesReply reply;
        queryAt(47.5, 19.0, reply);
        const nlohmann::json body = lastBody();
        EXPECT_EQ(body["fetchRadius"], c.fetch);
        EXPECT_EQ(body["realRadius"], c.real);
        // The stored settings stay as they were.
        EXPECT_EQ(suite.floatForKey("settingRadius") == c.radius, !std::isnan(c.radius));
    }
}

TEST_F(TarvoRequestTest, FavouriteListsAreAlwaysArraysOfRawIdentifiers) {
    UserDefaults suite(AppSettings::kAppGroup);
    DeparturesReply reply;

    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));  // none stored
    EXPECT_EQ(lastBody()["favRoutes"], nlohmann::json::array());
    EXPECT_EQ(lastBody()["favStops"], nlohmann::json::array());

    suite.setObject("settingFavTripList", "R47");  // not a list at all
    suite.setObject("settingFavStopList",
                    PlistList{PlistMap{{"raw", "F01"}, {"display", "A"}}, PlistMap{{"display", "no raw"}},
                              PlistMap{{"raw", int64_t{5}}, {"display", "raw not a string"}}, "not a map",
                              PlistMap{{"raw", ""}, {"display", "empty raw"}}, PlistMap{{"raw", "F03"}}});
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
    EXPECT_EQ(lastBody()["favRoutes"], nlohmann::json::array());
    EXPECT_EQ(lastBody()["favStops"], nlohmann::json::array({"F01", "", "F03"}));
}

TEST_F(TarvoRequestTest, SkipNearbyChangesNothingInTheRequest) {
    DeparturesReply a, b;
    queryAt(47.5, 19.05, a, false);
    queryAt(47.5, 19.05, b, true);
    ASSERT_EQ(http.requests().size(), 2u);
    EXPECT_EQ(http.requests()[0].bodyText(), http.requests()[1].bodyText());
    EXPECT_EQ(http.requests()[0].request.url, http.requests()[1].request.url);
}

TEST_F(TarvoRequestTest, SuccessPassesBothListsAndTheCity) {
    DeparturesReply reply;
    http.enqueue(
        FakeReply::withBody(R"({"error":false,"stopDates":[{"a":1}],"stopDatesNearby":[],"cityName":"Budapest",)"
                            R"("cityURL":"https://bkk.example/","cityKey":"bp","extra":1})"));
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
    EXPECT_EQ(reply.calls, 0);  // never inside the call that sent it
    loop.runPending();
    ASSERT_EQ(reply.calls, 1);
    EXPECT_FALSE(reply.error);
    ASSERT_TRUE(reply.stopDates && reply.stopDatesNearby);
    EXPECT_EQ(reply.stopDates->count(), 1u);
    EXPECT_EQ(reply.stopDatesNearby->type(), JSON::Type::array);
    EXPECT_EQ(reply.cityName, "Budapest");
    EXPECT_EQ(reply.cityURL, "https://bkk.example/");
    EXPECT_EQ(reply.cityKey, "bp");
    EXPECT_FALSE(reply.reserved);
}

TEST_F(TarvoRequestTest, SuccessWithoutListsGivesNullListsAndAbsentCity) {
    DeparturesReply reply;
    http.enqueue(FakeReply::withBody(R"({"error":false,"cityName":7})", 500));  // the status is never read
    client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
    loop.runPending();
    ASSERT_EQ(reply.calls, 1);
    EXPECT_FALSE(reply.error);
    ASSERT_TRUE(reply.stopDates && reply.stopDatesNearby);
    EXPECT_EQ(reply.stopDates->type(), JSON::Type::null);
    EXPECT_EQ(reply.stopDatesNearby->count(), 0u);
    EXPECT_FALSE(reply.cityName);
    EXPECT_FALSE(reply.cityURL);
    EXPECT_FALSE(reply.cityKey);
}

// The loopback tests cover more replies over the real transport.
TEST_F(TarvoRequestTest, EnvelopeFailures) {
    struct Case {
        const char* name;
        FakeReply reply;
        std::optional<std::string> code;  // absent: the server declared an error without a code
    };
    const std::vector<Case> cases{
        {"transport error", FakeReply::failure(UrlError::timedOut), "DOWNLOADERROR"},
        {"no body", FakeReply{std::nullopt, UrlResponse{200, {}, ""}, std::nullopt}, "DOWNLOADERROR"},
        {"array", FakeReply::withBody(R"([{"error":false}])"), "DOWNLOADERROR"},
        {"error as a number", FakeReply::withBody(R"({"error":0,"stopDates":[]})"), "DOWNLOADERROR"},
        {"no error member", FakeReply::withBody(R"({"stopDates":[]})"), "DOWNLOADERROR"},
        {"error true alone", FakeReply::withBody(R"({"error":true})"), std::nullopt},
        {"code not a string", FakeReply::withBody(R"({"error":true,"errorMessage":5})"), std::nullopt},
        {"code and text",
         FakeReply::withBody(R"({"error":true,"errorMessage":"NOTRIPS","errorMessageText":"Ma már nincs"})"),
         "NOTRIPS::Ma már nincs"},
        {"text not a string", FakeReply::withBody(R"({"error":true,"errorMessage":"NOTRIPS","errorMessageText":1})"),
         "NOTRIPS"},
        {"text without code", FakeReply::withBody(R"({"error":true,"errorMessageText":"Hibás kérés"})"),
         "::Hibás kérés"},
        {"declared error with lists",
         FakeReply::withBody(R"({"error":true,"errorMessage":"NEWSTABLE","stopDates":[1]})"), "NEWSTABLE"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeparturesReply reply;
        http.enqueue(c.reply);
        client->get(47.5F, 19.0F, 300.0F, 300.0F, false, record(reply));
        loop.runPending();
        ASSERT_EQ(reply.calls, 1);
        EXPECT_EQ(reply.error, c.code);
        EXPECT_FALSE(reply.stopDates || reply.stopDatesNearby || reply.cityName || reply.cityURL || reply.cityKey ||
                     reply.reserved);
    }
    EXPECT_EQ(TarvoRequest::toErrorString("::Hibás kérés"), "Hibás kérés");
}

TEST_F(TarvoRequestTest, LocationFailuresBecomeCodesWithoutARequest) {
    struct Case {
        const char* name;
        AuthorizationStatus status;
        bool usageDescription;
        bool platformFailure;
        std::string code;
    };
    const std::vector<Case> cases{
        {"restricted", AuthorizationStatus::restricted, true, false, "NOLOCATIONDISABLED"},
        {"denied", AuthorizationStatus::denied, true, false, "NOLOCATIONACCESS"},
        {"platform failure", AuthorizationStatus::authorizedWhenInUse, true, true, "NOLOCATION"},
        {"no usage description", AuthorizationStatus::notDetermined, false, false, "NOLOCATION"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bundle::Dictionary info = bundleInfo();
        if (!c.usageDescription) {
            info.erase(kLocationUsageDescriptionKey);
        }
        makeClient(c.status, info);
        DeparturesReply reply;
        client->getWithLocation(false, record(reply));
        loop.runPending();
        if (c.platformFailure) {
            EXPECT_EQ(reply.calls, 0);
            location->fail(LocationError{LocationError::network, "no network"});
            loop.runPending();
        }
        ASSERT_EQ(reply.calls, 1);
        EXPECT_EQ(reply.error, c.code);
        EXPECT_TRUE(reply.stopDates == std::nullopt && reply.cityName == std::nullopt &&
                    reply.reserved == std::nullopt);
    }
    EXPECT_TRUE(http.requests().empty());
}

TEST_F(TarvoRequestTest, LocationTimeOutFallsBackToAStoredFixOfAtMost500Metres) {
    struct Case {
        double accuracy;
        std::optional<std::string> code;
        std::size_t requests;
    };
    for (const Case& c : {Case{480.0, std::nullopt, 1}, Case{650.0, "NOLOCATION", 0}}) {
        SCOPED_TRACE(c.accuracy);
        makeClient(AuthorizationStatus::authorizedWhenInUse, bundleInfo());
        // A first query leaves its fix with the provider.
        DeparturesReply first;
        client->getWithLocation(false, record(first));
        loop.runPending();
        location->deliverLocation(Location{47.5, 19.0, c.accuracy, loop.now()});
        loop.runPending();
        const std::size_t before = http.requests().size();

        // The second gets no fix of its own.
        DeparturesReply reply;
        client->getWithLocation(false, record(reply));
        loop.runPending();
        loop.advance(RunLoop::Seconds{29.9});
        EXPECT_EQ(http.requests().size(), before);
        EXPECT_EQ(reply.calls, 0);
        loop.advance(RunLoop::Seconds{0.2});  // the 30-second time-out
        EXPECT_EQ(http.requests().size() - before, c.requests);
        if (c.code) {
            EXPECT_EQ(reply.calls, 1);
            EXPECT_EQ(reply.error, c.code);
        }
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

TEST_F(TarvoRequestTest, UnserialisableDeparturesBodyIsReportedLaterOnTheMainLoop) {
    DeparturesReply reply;
    client->get(std::numeric_limits<float>::quiet_NaN(), 19.0F, 300.0F, 300.0F, false, record(reply));
    EXPECT_EQ(reply.calls, 0);
    loop.runPending();
    ASSERT_EQ(reply.calls, 1);
    EXPECT_EQ(reply.error, "DOWNLOADERROR");
    EXPECT_FALSE(reply.stopDates || reply.stopDatesNearby || reply.cityName);
    EXPECT_TRUE(http.requests().empty());
    EXPECT_TRUE(http.sessions().empty());
}

TEST_F(TarvoRequestTest, DetailsQueriesSendTheSameBodyToTheirOwnEndpoints) {
    struct Seen {
        int calls = 0;
        std::optional<std::string> error;
        std::optional<JSON> reply;
    };
    const auto record2 = [](Seen& seen) {
        return [&seen](std::optional<std::string> error, std::optional<JSON> reply) {
            ++seen.calls;
            seen.error = std::move(error);
            seen.reply = std::move(reply);
        };
    };
    Seen more, vehicle, empty;
    http.enqueue(FakeReply::withBody(R"({"error":false,"trip":{"tripId":"T1"}})"));
    http.enqueue(FakeReply::withBody(R"({"error":true,"errorMessage":"NOTRIPS"})"));
    http.enqueue(FakeReply::withBody(R"({"error":false})"));
    client->getMoreInfo("bp", "VDE=", "RjAx", "UjQ3", record2(more));
    client->getVehicleInfo("bp", "VDE=", "RjAx", "UjQ3", record2(vehicle));
    client->getMoreInfo("", "", "", "", record2(empty));
    EXPECT_EQ(more.calls + vehicle.calls, 0);
    loop.runPending();

    ASSERT_EQ(http.requests().size(), 3u);
    EXPECT_EQ(http.requests()[0].request.url, "https://prod.test/v2/more/");
    EXPECT_EQ(http.requests()[1].request.url, "https://prod.test/v2/vehicle/");
    EXPECT_EQ(http.requests()[0].bodyText(), http.requests()[1].bodyText());
    EXPECT_EQ(nlohmann::json::parse(http.requests()[0].bodyText()),
              (nlohmann::json{{"city", "bp"}, {"tripIdB64", "VDE="}, {"stopIdB64", "RjAx"}, {"routeIdB64", "UjQ3"}}));
    EXPECT_EQ(nlohmann::json::parse(http.requests()[2].bodyText()),
              (nlohmann::json{{"city", ""}, {"tripIdB64", ""}, {"stopIdB64", ""}, {"routeIdB64", ""}}));
    for (const RecordedRequest& sent : http.requests()) {
        EXPECT_EQ(sent.request.httpMethod, "POST");
        EXPECT_EQ(sent.request.timeoutInterval, 25.0);
        EXPECT_EQ(sent.configuration.additionalHeaders.size(), 8u);
    }

    ASSERT_EQ(more.calls, 1);
    EXPECT_FALSE(more.error);
    ASSERT_TRUE(more.reply);
    EXPECT_EQ((*more.reply)["error"].boolean(), false);  // passed on whole
    const JSON tripId = (*more.reply)[{"trip", "tripId"}];
    EXPECT_EQ(tripId.string(), "T1");
    ASSERT_EQ(vehicle.calls, 1);
    EXPECT_EQ(vehicle.error, "NOTRIPS");
    EXPECT_FALSE(vehicle.reply);
    EXPECT_EQ(empty.calls, 1);
}

TEST_F(TarvoRequestTest, UnserialisableDetailsBodyIsReportedBeforeTheCallReturns) {
    int calls = 0;
    client->getVehicleInfo("bp", std::string("\xff\xfe"), "s", "r", [&](auto error, auto reply) {
        ++calls;
        EXPECT_EQ(error, "DOWNLOADERROR");
        EXPECT_FALSE(reply);
    });
    EXPECT_EQ(calls, 1);
    loop.runPending();
    EXPECT_EQ(calls, 1);
    EXPECT_TRUE(http.requests().empty());
}
