// The client against a loopback HTTPS server through the Qt network backend: what goes on
// the wire, and what the replies that come back turn into.

#include "core/service/TarvoRequest.h"

#include "LoopbackFixture.h"
#include "ServiceFixture.h"
#include "core/location/EasyLocation.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/http/QtUrlSession.h"
#include "platform/location/FakeLocationService.h"
#include "platform/runloop/QtRunLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/utsname.h>

using namespace velmo;
using velmo::test::DeparturesReply;
using velmo::test::recordInto;
using velmo::test::SeenRequest;

namespace {

namespace fs = std::filesystem;

template <typename Done>
bool spinUntil(Done done, int limitMs = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return done();
}

class WireTest : public velmo::test::LoopbackServiceTest {
protected:
    // The development base is the same server without the extra trust.
    std::string moreServers() const override { return "development = " + server->base() + "\n"; }

    void SetUp() override {
        LoopbackServiceTest::SetUp();

        location = std::make_unique<FakeLocationService>(loop, AuthorizationStatus::authorizedWhenInUse);
        std::ostringstream err;
        client = std::make_unique<TarvoRequest>(std::make_unique<EasyLocation>(*location, loop, bundle, locationLog),
                                                std::make_unique<AppSettings>(), sessions, loop, bundle,
                                                loadServerBases(err));
        ASSERT_TRUE(err.str().empty()) << err.str();
    }

    void TearDown() override {
        client.reset();
        LoopbackServiceTest::TearDown();
    }

    // One departures request for a fixed position; returns when its callback has run.
    DeparturesReply departures(float lat = 47.497913F, float lon = 19.040236F) {
        DeparturesReply reply;
        client->get(lat, lon, 400.0F, 1500.0F, false, recordInto<TarvoRequest::Callback>(reply));
        EXPECT_TRUE(spinUntil([&] { return reply.calls > 0; }));
        return reply;
    }

    QtRunLoop loop;
    QtUrlSessionFactory sessions;
    Bundle bundle{{{kBundleExecutableKey, "velmomactoday"},
                   {kBundleShortVersionKey, "2.0.1"},
                   {kBundleVersionKey, "77"},
                   {kLocationUsageDescriptionKey, "A közeli megállókhoz."}}};
    std::ostringstream locationLog;
    std::unique_ptr<FakeLocationService> location;
    std::unique_ptr<TarvoRequest> client;
};

std::string departureJson(const std::string& routeName, const std::string& extra = "") {
    nlohmann::json item = velmo::test::sampleDeparture();
    item["routeName"] = routeName;
    std::string text = item.dump();
    if (!extra.empty()) {
        text.insert(text.size() - 1, "," + extra);
    }
    return text;
}

}  // namespace

TEST_F(WireTest, QueryFromPositionToItems) {
    client->settings().setStringList("settingFavStopList", "F01", "Deák Ferenc tér");
    server->answer(R"({"error":false,"cityName":"Budapest","cityURL":"https://bkk.example/","cityKey":"bp",)"
                   R"("stopDatesNearby":[],"stopDates":[)" +
                   departureJson("47") + "," + departureJson("49", R"("tripDepartureGPS":1)") + "," +
                   departureJson("2") + "]}");
    location->setFixOnStart(Location{47.4979123456, 19.0402, 15.0, loop.now()});

    DeparturesReply reply;
    client->getWithLocation(false, recordInto<TarvoRequest::Callback>(reply));
    ASSERT_TRUE(spinUntil([&] { return reply.calls > 0; }));

    const std::vector<SeenRequest> seen = server->seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].path, "/v2/nearby/");
    utsname system{};
    uname(&system);
    const std::string uuid = *client->settings().get("deviceUUID")->toString();
    const std::vector<std::pair<const char*, std::string>> headers{
        {"X-DEVICE", system.machine},
        {"X-APP", "velmomactoday"},
        {"X-APPVERSION", "2.0.1"},
        {"X-APPBUILD", "77"},
        {"X-UUID", uuid},
        {"X-APILEVEL", "2"},
        {"X-DEVICEOS", "MAC"},
        {"X-DEVICEVERSION", "10.0"},
    };
    for (const auto& [name, value] : headers) {
        EXPECT_EQ(seen[0].header(name), value) << name;
    }
    ASSERT_EQ(uuid.size(), 36u);

    const nlohmann::json body = nlohmann::json::parse(seen[0].body);
    EXPECT_EQ(body.size(), 9u);
    EXPECT_EQ(body["method"], "TRIPSFORLOCATION");
    ASSERT_TRUE(body["lat"].is_number_float());
    EXPECT_EQ(body["lat"].get<double>(), 47.497913);  // the 32-bit value, written short
    EXPECT_EQ(body["lon"].get<double>(), 19.0402);
    ASSERT_TRUE(body["fetchRadius"].is_number_integer());
    EXPECT_EQ(body["fetchRadius"], 1500);
    ASSERT_TRUE(body["realRadius"].is_number_integer());
    EXPECT_EQ(body["realRadius"], 300);
    EXPECT_EQ(body["favStops"], nlohmann::json::array({"F01"}));
    EXPECT_EQ(body["favRoutes"], nlohmann::json::array());
    ASSERT_TRUE(body["favSortMode"].is_number_integer());
    ASSERT_TRUE(body["minutes"].is_number_integer());
    EXPECT_EQ(body["minutes"], 30);

    ASSERT_EQ(reply.calls, 1);
    EXPECT_FALSE(reply.error);
    EXPECT_EQ(reply.cityKey, "bp");
    ASSERT_TRUE(reply.stopDates);
    std::ostringstream log;
    const PlistList items = TarvoRequest::toDictionaries(*reply.stopDates, log);
    ASSERT_EQ(items.size(), 2u);  // the item with a number for a flag is skipped
    EXPECT_EQ(items[0].ifMap()->at("shortName"), PlistValue("47"));
    EXPECT_EQ(items[1].ifMap()->at("shortName"), PlistValue("2"));
    EXPECT_EQ(items[0].ifMap()->size(), 22u);
    EXPECT_EQ(items[0].ifMap()->at("stopDistance"), PlistValue(int64_t{123}));
    EXPECT_NE(log.str().find("indulás [1] kimarad: \"tripDepartureGPS\""), std::string::npos) << log.str();
}

TEST_F(WireTest, RepliesAreJudgedByTheirBodyAlone) {
    struct Case {
        const char* name;
        std::string body;
        int status;
        bool success;
        std::optional<std::string> code;
    };
    const std::vector<Case> cases{
        {"error false with status 500", R"({"error":false,"stopDates":[]})", 500, true, std::nullopt},
        {"error as a string", R"({"error":"false","stopDates":[]})", 200, false, "DOWNLOADERROR"},
        {"bare JSON string", R"("error")", 200, false, "DOWNLOADERROR"},
        {"not JSON", "Bad Gateway", 502, false, "DOWNLOADERROR"},
        {"error true alone", R"({"error":true})", 200, false, std::nullopt},
        {"NOSTOPS", R"({"error":true,"errorMessage":"NOSTOPS"})", 200, false, "NOSTOPS"},
        {"code with text", R"({"error":true,"errorMessage":"BADREQUEST","errorMessageText":"Hibás kérés"})", 400, false,
         "BADREQUEST::Hibás kérés"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server->answer(c.body, c.status);
        const DeparturesReply reply = departures();
        ASSERT_EQ(reply.calls, 1);
        EXPECT_EQ(reply.error, c.code);
        EXPECT_EQ(reply.stopDates.has_value(), c.success);
        EXPECT_EQ(reply.stopDatesNearby.has_value(), c.success);
        if (c.success) {
            EXPECT_EQ(reply.stopDatesNearby->type(), JSON::Type::null);
        }
    }
    EXPECT_EQ(server->seen().size(), cases.size());
}

TEST_F(WireTest, DetailsBodiesAreIdenticalAndOnlyThePathDiffers) {
    server->answer(R"({"error":false,"trip":{"stops":[]}})");
    server->answer(R"({"error":true,"errorMessage":"NOVEHICLE","errorMessageText":"Nincs elérhető járműpozíció"})");
    std::vector<std::pair<std::optional<std::string>, std::optional<JSON>>> answers;
    const auto keep = [&](std::optional<std::string> error, std::optional<JSON> reply) {
        answers.emplace_back(std::move(error), std::move(reply));
    };
    client->getMoreInfo("bp", "VDE=", "RjAx", "UjQ3", keep);
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 1; }));
    client->getVehicleInfo("bp", "VDE=", "RjAx", "UjQ3", keep);
    ASSERT_TRUE(spinUntil([&] { return answers.size() == 2; }));

    const std::vector<SeenRequest> seen = server->seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].path, "/v2/more/");
    EXPECT_EQ(seen[1].path, "/v2/vehicle/");
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[0].body, seen[1].body);
    EXPECT_EQ(nlohmann::json::parse(seen[0].body),
              (nlohmann::json{{"city", "bp"}, {"tripIdB64", "VDE="}, {"stopIdB64", "RjAx"}, {"routeIdB64", "UjQ3"}}));
    EXPECT_EQ(seen[1].header("X-APILEVEL"), "2");

    EXPECT_FALSE(answers[0].first);
    ASSERT_TRUE(answers[0].second);
    EXPECT_EQ((*answers[0].second)["error"].boolean(), false);
    EXPECT_EQ(answers[1].first, "NOVEHICLE::Nincs elérhető járműpozíció");
    EXPECT_FALSE(answers[1].second);
    EXPECT_EQ(TarvoRequest::toErrorString(*answers[1].first), "Nincs elérhető járműpozíció");
}

TEST_F(WireTest, OnlyTheLocalBaseTrustsTheExtraCertificate) {
    client->settings().set("useDevelopmentServer", int64_t{2});  // same server, as the development base
    const DeparturesReply reply = departures();
    EXPECT_EQ(reply.error, "DOWNLOADERROR");
    EXPECT_TRUE(server->seen().empty());

    client->settings().set("useDevelopmentServer", int64_t{1});
    EXPECT_FALSE(departures().error);
    EXPECT_EQ(server->seen().size(), 1u);
}

TEST_F(WireTest, CancelDoesNotStopAQueryOnTheWire) {
    DeparturesReply reply;
    location->setFixOnStart(Location{47.5, 19.0, 15.0, loop.now()});
    client->getWithLocation(false, recordInto<TarvoRequest::Callback>(reply));
    client->cancel();
    ASSERT_TRUE(spinUntil([&] { return !server->seen().empty(); }));
    client->cancel();
    ASSERT_TRUE(spinUntil([&] { return reply.calls > 0; }));
    EXPECT_EQ(reply.calls, 1);
    EXPECT_FALSE(reply.error);
}
