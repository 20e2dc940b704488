// vehicle/, /healthz and /metrics with live data, over loopback HTTPS.
#include "server/api/Server.h"
#include "server/api/Tls.h"
#include "server/realtime/Poller.h"

#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;

namespace {

namespace fs = std::filesystem;

class VehicleTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmo-veh-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        cert_ = (dir_ / "cert.pem").string();
        api::writeSelfSignedCertificate(cert_, (dir_ / "key.pem").string());

        auto m = message(kNow - 40s);
        auto* v = m.add_entity()->mutable_vehicle();
        v->mutable_trip()->set_trip_id("T2");
        v->mutable_position()->set_latitude(47.505f);
        v->mutable_position()->set_longitude(19.051f);
        v->mutable_position()->set_speed(8.5f);
        v->set_timestamp(static_cast<std::uint64_t>(unix(kNow) - 45));
        v->mutable_vehicle()->set_id("4711");
        v->mutable_vehicle()->set_label("NYS-123");
        v->set_stop_id("B");
        v->set_current_status(pb::VehiclePosition::IN_TRANSIT_TO);
        std::ofstream(dir_ / "vehicles.pb", std::ios::binary) << m.SerializeAsString();

        poller_ = std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", (dir_ / "vehicles.pb").string()},
                                                {"bp", (dir_ / "missing.pb").string()}},
            realtime::PollerOptions{},
            [this](const std::string&) {
                return std::optional<realtime::CityTarget>({city_.city().feed, city_.city().zone, city_.live});
            },
            [] { return kNow; });
        poller_->pollAll();

        api::ServerOptions options;
        options.certPath = cert_;
        options.keyPath = (dir_ / "key.pem").string();
        options.threads = 2;
        options.realtimeStatus = [this] { return poller_->status(); };
        auto snapshot = std::make_shared<query::Snapshot>(city_.snapshot);
        server_ = std::make_unique<api::Server>(
            options, [snapshot] { return snapshot; }, [] { return kNow; });
        port_ = server_->bind("127.0.0.1", 0);
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->listen(); });
        server_->waitUntilReady();
    }

    void TearDown() override {
        server_->stop();
        thread_.join();
        fs::remove_all(dir_);
    }

    httplib::Result request(const std::string& path, const std::string& body = "") {
        httplib::SSLClient c("127.0.0.1", port_);
        c.set_ca_cert_path(cert_.c_str());
        c.enable_server_certificate_verification(true);
        if (body.empty()) {
            return c.Get(path.c_str());
        }
        const httplib::Headers h{{"X-APP", "velmomac"}, {"X-APILEVEL", "2"}};
        return c.Post(path.c_str(), h, body, "application/json");
    }

    json vehicle(const std::string& tripB64) {
        const auto res =
            request("/v2/vehicle/",
                    json{{"city", "bp"}, {"tripIdB64", tripB64}, {"stopIdB64", "QQ=="}, {"routeIdB64", "Ujk="}}.dump());
        EXPECT_TRUE(res);
        return res ? json::parse(res->body, nullptr, false) : json();
    }

    fs::path dir_;
    std::string cert_;
    LiveCity city_;
    std::unique_ptr<realtime::Poller> poller_;
    std::unique_ptr<api::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace

TEST_F(VehicleTest, VehicleAnswersWithTheNewestPosition) {
    const json j = vehicle("VDI=");  // "T2"
    ASSERT_EQ(j.value("error", true), false) << j.dump();
    const json& v = j["vehicle"];
    EXPECT_NEAR(v["lat"].get<double>(), 47.505, 1e-5);
    EXPECT_NEAR(v["lon"].get<double>(), 19.051, 1e-5);
    EXPECT_TRUE(v["bearing"].is_null());
    EXPECT_NEAR(v["speed"].get<double>(), 8.5, 1e-6);
    EXPECT_EQ(v["timestamp"], unix(kNow) - 45);
    EXPECT_EQ(v["label"], "NYS-123");
    EXPECT_EQ(v["currentStopId"], "B");
    EXPECT_EQ(v["status"], "IN_TRANSIT_TO");
}

TEST_F(VehicleTest, NoVehicleAndNoTrip) {
    const json none = vehicle("VDM=");  // "T3": in the timetable, no position
    EXPECT_EQ(none["errorMessage"], "NOVEHICLE");
    EXPECT_EQ(none["errorMessageText"], "Nincs elérhető járműpozíció");
    EXPECT_EQ(vehicle("WFg=")["errorMessage"], "NOTRIP");  // "XX"
}

TEST_F(VehicleTest, HealthAndMetricsShowEachSource) {
    const auto health = request("/healthz");
    ASSERT_TRUE(health);
    const json h = json::parse(health->body);
    const json& city = h["cities"][0];
    EXPECT_EQ(city["realtimeAgeSeconds"], 40);
    ASSERT_EQ(city["realtime"].size(), 2u);
    EXPECT_EQ(city["realtime"][0]["lastSuccess"], unix(kNow));
    EXPECT_EQ(city["realtime"][0]["lastError"], "");
    EXPECT_TRUE(city["realtime"][1]["lastSuccess"].is_null());
    EXPECT_NE(city["realtime"][1]["lastError"].get<std::string>().find("cannot read"), std::string::npos);

    const auto metrics = request("/metrics");
    ASSERT_TRUE(metrics);
    const std::string vehicles = (dir_ / "vehicles.pb").string();
    const std::string missing = (dir_ / "missing.pb").string();
    EXPECT_NE(metrics->body.find("tarvod_realtime_age_seconds{city=\"bp\",source=\"" + vehicles + "\"} 40"),
              std::string::npos)
        << metrics->body;
    EXPECT_NE(metrics->body.find("tarvod_realtime_failures_total{city=\"bp\",source=\"" + missing + "\"} 1"),
              std::string::npos);
    EXPECT_NE(metrics->body.find("tarvod_realtime_last_error_info{city=\"bp\",source=\"" + missing + "\""),
              std::string::npos);
}
