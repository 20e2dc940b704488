// The HTTPS front over loopback: a live city, its sources polled once, a fixed clock.
#include "server/api/Server.h"
#include "server/api/Tls.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        cert_ = (dir_.path() / "cert.pem").string();
        api::writeSelfSignedCertificate(cert_, (dir_.path() / "key.pem").string());
        auto m = message(kNow - 40s);
        auto* v = vehicle(m, "T2", 47.505f, 45);
        v->mutable_position()->set_speed(8.5f);
        v->mutable_vehicle()->set_label("NYS-123");
        v->set_current_status(pb::VehiclePosition::IN_TRANSIT_TO);
        vehicles_ = dir_.write("vehicles.pb", m.SerializeAsString()).string();
        missing_ = (dir_.path() / "missing.pb").string();
        poller_ = std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", vehicles_}, {"bp", missing_}}, realtime::PollerOptions{},
            [this](const std::string&) { return std::optional(city_.target()); }, [] { return kNow; });
        poller_->pollAll();

        api::ServerOptions options;
        options.certPath = cert_;
        options.keyPath = (dir_.path() / "key.pem").string();
        options.threads = 2;
        options.readTimeout = options.idleTimeout = 1s;
        options.versions["velmomac"] = {"1.2", 50};
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
    }

    std::unique_ptr<httplib::SSLClient> client() {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
        c->set_ca_cert_path(cert_.c_str());
        c->enable_server_certificate_verification(true);
        return c;
    }
    static httplib::Headers headers(const std::string& build = "50", const std::string& level = "2") {
        return {{"X-APP", "velmomac"}, {"X-APPVERSION", "1.2.0"}, {"X-APPBUILD", build}, {"X-APILEVEL", level}};
    }
    std::pair<int, json> post(const std::string& path, const std::string& body, const httplib::Headers& h = headers()) {
        const auto res = client()->Post(path.c_str(), h, body, "application/json");
        if (!res) {
            ADD_FAILURE() << "no reply: " << httplib::to_string(res.error());
            return {0, json()};
        }
        return {res->status, json::parse(res->body, nullptr, false)};
    }
    static std::string nearby(double lat = kLat) {
        return json{{"method", "TRIPSFORLOCATION"},
                    {"lat", lat},
                    {"lon", kLon},
                    {"fetchRadius", 500},
                    {"realRadius", 300},
                    {"favRoutes", json::array()},
                    {"favStops", json::array({"A"})},
                    {"favSortMode", 3},
                    {"minutes", 30}}
            .dump();
    }
    static std::string details(const char* tripB64) {
        return json{{"city", "bp"}, {"tripIdB64", tripB64}, {"stopIdB64", "QQ=="}, {"routeIdB64", "Ujk="}}.dump();
    }

    TempDir dir_;
    std::string cert_, vehicles_, missing_;
    LiveCity city_;
    std::unique_ptr<realtime::Poller> poller_;
    std::unique_ptr<api::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace

TEST_F(ServerTest, AnswersTheThreeRequests) {
    const auto [status, j] = post("/v2/nearby/", nearby());
    ASSERT_EQ(status, 200) << j.dump();
    EXPECT_EQ(j["error"], false);
    EXPECT_EQ(j["cityKey"], "bp");
    ASSERT_EQ(j["stopDates"].size(), 2u);
    EXPECT_EQ(j["stopDatesNearby"].size(), 2u);
    const json& item = j["stopDates"][0];
    EXPECT_EQ(item.size(), 23u);
    EXPECT_EQ(std::tuple(item["tripId"], item["tripDepartureMinutesText"], item["stopFavorite"], item["routeType"]),
              std::tuple(json("T2"), json("5"), json(true), json("BUS")));

    const auto trip = post("/v2/more/", details("VDI="));  // "T2"
    EXPECT_EQ(trip.second["trip"]["tripId"], "T2") << trip.second.dump();
    ASSERT_EQ(trip.second["trip"]["stops"].size(), 3u);
    EXPECT_EQ(trip.second["trip"]["stops"][0]["selected"], true);

    const auto [vs, v] = post("/v2/vehicle/", details("VDI="));
    ASSERT_EQ(v.value("error", true), false) << v.dump();
    EXPECT_NEAR(v["vehicle"]["lat"].get<double>(), 47.505, 1e-5);
    EXPECT_NEAR(v["vehicle"]["speed"].get<double>(), 8.5, 1e-6);
    EXPECT_TRUE(v["vehicle"]["bearing"].is_null());
    EXPECT_EQ(std::tuple(v["vehicle"]["timestamp"], v["vehicle"]["label"], v["vehicle"]["status"]),
              std::tuple(json(unix(kNow) - 45), json("NYS-123"), json("IN_TRANSIT_TO")));
}

TEST_F(ServerTest, ErrorsGetTheEnvelopeAndTheServerCarriesOn) {
    struct Case {
        const char* path;
        std::string body;
        httplib::Headers headers;
        int status;
        const char* code;
        const char* text;  // nullptr: no "errorMessageText"
    };
    const Case cases[] = {
        {"/v2/nearby/", nearby(46.0), headers(), 200, "NOSTOPS", nullptr},
        {"/v2/nearby/", nearby(), headers("49"), 200, "NEWTESTFLIGHT", nullptr},
        {"/v2/nearby/", nearby(), headers("50", "1"), 200, "NEWSTABLE", nullptr},
        {"/v2/nearby/", "{not json", headers(), 400, "BADREQUEST", "Hibás kérés"},
        {"/v2/nearby/", R"({"method":"TRIPSFORLOCATION","lat":NaN,"lon":0})", headers(), 400, "BADREQUEST",
         "Hibás kérés"},
        {"/v2/nearby/", std::string(10 * 1024 * 1024, ' '), headers(), 413, "BADREQUEST", "Hibás kérés"},
        {"/v2/nowhere/", nearby(), headers(), 404, "BADREQUEST", "Hibás kérés"},
        {"/v2/more/", details("WFg="), headers(), 200, "NOTRIP", "A járat nem található"},
        {"/v2/more/", details("VDE"), headers(), 400, "BADREQUEST", "Hibás kérés"},
        {"/v2/vehicle/", details("VDM="), headers(), 200, "NOVEHICLE", "Nincs elérhető járműpozíció"},
        {"/v2/vehicle/", details("WFg="), headers(), 200, "NOTRIP", "A járat nem található"},
    };
    for (const auto& c : cases) {
        const auto [status, j] = post(c.path, c.body, c.headers);
        EXPECT_EQ(status, c.status) << c.code << " " << c.path;
        EXPECT_EQ(j.value("error", false), true) << j.dump();
        EXPECT_EQ(j.value("errorMessage", ""), c.code) << j.dump();
        EXPECT_EQ(j.contains("errorMessageText") ? j["errorMessageText"].get<std::string>() : "", c.text ? c.text : "")
            << c.code;
    }
    for (const auto& res : {client()->Get("/v2/nearby/"), client()->Put("/v2/more/", "{}", "application/json")}) {
        ASSERT_TRUE(res);
        EXPECT_EQ(res->status, 405);
        EXPECT_EQ(res->get_header_value("Allow"), "POST");
        EXPECT_EQ(json::parse(res->body)["errorMessage"], "BADREQUEST");
    }
    EXPECT_EQ(post("/v2/nearby/", nearby()).first, 200);
}

TEST_F(ServerTest, HealthAndMetricsShowFeedsSourcesAndRequests) {
    post("/v2/nearby/", nearby());
    post("/v2/nearby/", nearby(46.0));
    const auto health = client()->Get("/healthz");
    ASSERT_TRUE(health);
    const json city = json::parse(health->body)["cities"][0];
    EXPECT_EQ(std::tuple(city["cityKey"], city["feedStart"], city["feedEnd"], city["realtimeAgeSeconds"]),
              std::tuple(json("bp"), json("2025-01-01"), json("2025-12-31"), json(40)));
    ASSERT_EQ(city["realtime"].size(), 2u);
    EXPECT_EQ(city["realtime"][0]["lastSuccess"], unix(kNow));
    EXPECT_EQ(city["realtime"][0]["lastError"], "");
    EXPECT_TRUE(city["realtime"][1]["lastSuccess"].is_null());
    EXPECT_NE(city["realtime"][1]["lastError"].get<std::string>().find("cannot read"), std::string::npos);

    const auto metrics = client()->Get("/metrics");
    ASSERT_TRUE(metrics);
    for (const std::string& line : std::vector<std::string>{
             R"(tarvod_requests_total{endpoint="/v2/nearby/",result="OK"} 1)",
             R"(tarvod_requests_total{endpoint="/v2/nearby/",result="NOSTOPS"} 1)",
             R"(tarvod_requests_total{endpoint="/healthz",result="200"} 1)",
             "tarvod_request_seconds_count 3",
             R"(tarvod_realtime_age_seconds{city="bp",source=")" + vehicles_ + R"("} 40)",
             R"(tarvod_realtime_failures_total{city="bp",source=")" + missing_ + R"("} 1)",
             R"(tarvod_realtime_last_error_info{city="bp",source=")" + missing_ + "\"",
         }) {
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
    }
}

TEST_F(ServerTest, StalledClientsDoNotBlockOthersForLong) {
    // As many silent connections as there are workers: each is dropped after the read time-out.
    std::vector<int> stalled;
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port_));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ASSERT_EQ(::send(fd, "\x16\x03\x01", 3, 0), 3);  // the start of a TLS record, then nothing
        stalled.push_back(fd);
    }
    EXPECT_EQ(post("/v2/nearby/", nearby()).first, 200);
    for (const int fd : stalled) {
        ::close(fd);
    }
}

TEST_F(ServerTest, KeepAliveConnectionCarriesManyRequests) {
    auto c = client();
    c->set_keep_alive(true);
    for (int i = 0; i < 12; ++i) {
        const auto res = c->Post("/v2/nearby/", headers(), nearby(), "application/json");
        ASSERT_TRUE(res) << "request " << i << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_NE(res->get_header_value("Connection"), "close") << "request " << i;
    }
}
