#include "server/api/Server.h"
#include "server/api/Tls.h"

#include "tests/server/TestFeed.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <nlohmann/json.hpp>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

using namespace velmo;
using namespace std::chrono_literals;
using nlohmann::json;

namespace {

namespace fs = std::filesystem;

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmo-api-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        cert_ = (dir_ / "cert.pem").string();
        api::writeSelfSignedCertificate(cert_, (dir_ / "key.pem").string());

        auto snapshot = std::make_shared<query::Snapshot>();
        snapshot->cities.push_back(
            query::City::build({"bp", "Budapest", "https://bp.example", ""}, gtfs::loadFeed(test::smallFeed())));
        api::ServerOptions options;
        options.certPath = cert_;
        options.keyPath = (dir_ / "key.pem").string();
        options.threads = 2;
        options.readTimeout = 1s;
        options.idleTimeout = 1s;
        options.versions["velmomac"] = {"1.2", 50};
        // Friday 14 March 2025, 07:58 in Budapest.
        const auto now = date::sys_days(date::year(2025) / 3 / 14) + 6h + 58min;
        server_ = std::make_unique<api::Server>(
            options, [snapshot] { return snapshot; }, [now] { return query::TimePoint(now); });
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

    std::unique_ptr<httplib::SSLClient> client() {
        auto c = std::make_unique<httplib::SSLClient>("127.0.0.1", port_);
        c->set_ca_cert_path(cert_.c_str());
        c->enable_server_certificate_verification(true);
        c->set_read_timeout(10s);
        return c;
    }

    static httplib::Headers headers() {
        return {{"X-APP", "velmomac"},
                {"X-APPVERSION", "1.2.0"},
                {"X-APPBUILD", "50"},
                {"X-APILEVEL", "2"},
                {"X-DEVICEOS", "MAC"}};
    }

    // POSTs a body; returns status and parsed envelope.
    std::pair<int, json> post(const std::string& path, const std::string& body, const httplib::Headers& h = headers()) {
        const auto res = client()->Post(path.c_str(), h, body, "application/json");
        if (!res) {
            ADD_FAILURE() << "no reply: " << httplib::to_string(res.error());
            return {0, json()};
        }
        return {res->status, json::parse(res->body, nullptr, false)};
    }

    static std::string nearbyBody(double lat = 47.4970, double lon = 19.0540) {
        return json{{"method", "TRIPSFORLOCATION"},
                    {"lat", lat},
                    {"lon", lon},
                    {"fetchRadius", 500},
                    {"realRadius", 300},
                    {"favRoutes", json::array()},
                    {"favStops", json::array({"P"})},
                    {"favSortMode", 3},
                    {"minutes", 30}}
            .dump();
    }

    static void expectError(const std::pair<int, json>& reply, int status, const std::string& code) {
        EXPECT_EQ(reply.first, status) << reply.second.dump();
        EXPECT_EQ(reply.second.value("error", false), true) << reply.second.dump();
        EXPECT_EQ(reply.second.value("errorMessage", ""), code) << reply.second.dump();
    }

    fs::path dir_;
    std::string cert_;
    std::unique_ptr<api::Server> server_;
    std::thread thread_;
    int port_ = 0;
};

}  // namespace

TEST_F(ServerTest, NearbyAnswersWithDepartureItems) {
    const auto [status, j] = post("/v2/nearby/", nearbyBody());
    ASSERT_EQ(status, 200) << j.dump();
    EXPECT_EQ(j["error"], false);
    EXPECT_EQ(j["cityKey"], "bp");
    EXPECT_EQ(j["cityName"], "Budapest");
    EXPECT_EQ(j["cityURL"], "https://bp.example");
    ASSERT_EQ(j["stopDates"].size(), 1u);
    ASSERT_EQ(j["stopDatesNearby"].size(), 1u);
    const json& item = j["stopDates"][0];
    EXPECT_EQ(item.size(), 23u);
    EXPECT_TRUE(item["stopLat"].is_number_float());
    EXPECT_TRUE(item["stopDistance"].is_number_integer());
    EXPECT_TRUE(item["tripDepartureSeconds"].is_number_integer());
    EXPECT_TRUE(item["tripDepartureTimestamp"].is_number_integer());
    EXPECT_EQ(item["tripDepartureMinutesText"], "2");
    EXPECT_EQ(item["stopFavorite"], true);
    EXPECT_EQ(item["stopFavoriteId"], "P");
    EXPECT_EQ(item["tripDepartureGPS"], false);
    EXPECT_EQ(item["warning"], false);
    EXPECT_EQ(item["warningText"], json::array());
    EXPECT_EQ(item["hasDetails"], true);
    EXPECT_EQ(item["routeType"], "BUS");
}

TEST_F(ServerTest, DeclaredErrorsAreAnsweredWithStatus200) {
    expectError(post("/v2/nearby/", nearbyBody(46.0, 18.0)), 200, "NOSTOPS");
    auto old = headers();
    old.erase("X-APPBUILD");
    old.emplace("X-APPBUILD", "49");
    expectError(post("/v2/nearby/", nearbyBody(), old), 200, "NEWTESTFLIGHT");
    auto level = headers();
    level.erase("X-APILEVEL");
    const auto stable = post("/v2/nearby/", nearbyBody(), level);
    expectError(stable, 200, "NEWSTABLE");
    EXPECT_FALSE(stable.second.contains("errorMessageText"));
}

TEST_F(ServerTest, BadInputGetsTheEnvelopeAndTheServerCarriesOn) {
    auto body = json::parse(nearbyBody());
    const std::string wrongKind = [&] {
        auto b = body;
        b["lat"] = "47.49";
        return b.dump();
    }();
    const std::string huge = [&] {
        auto b = body;
        b["lon"] = 1e300;
        return b.dump();
    }();
    for (const std::string& bad : {std::string("{not json"), std::string("[]"), std::string("42"), wrongKind, huge,
                                   std::string(R"({"method":"TRIPSFORLOCATION","lat":NaN,"lon":0})")}) {
        const auto reply = post("/v2/nearby/", bad);
        expectError(reply, 400, "BADREQUEST");
        EXPECT_EQ(reply.second["errorMessageText"], "Hibás kérés");
    }
    // Negative radii are clamped to 1 m, not refused (stop A stands at the position);
    // 10,000 favourites are cut to 500.
    body["fetchRadius"] = -5;
    body["realRadius"] = -5;
    body["favStops"] = std::vector<std::string>(10000, "P");
    const auto clamped = post("/v2/nearby/", body.dump());
    EXPECT_EQ(clamped.first, 200);
    EXPECT_EQ(clamped.second["error"], false);
    EXPECT_EQ(clamped.second["stopDates"].size(), 1u);
    body["lat"] = 47.4980;  // 111 m from the nearest stop
    expectError(post("/v2/nearby/", body.dump()), 200, "NOSTOPS");
    EXPECT_EQ(post("/v2/nearby/", nearbyBody()).first, 200);
}

TEST_F(ServerTest, OversizedBodyUnknownPathAndWrongMethod) {
    expectError(post("/v2/nearby/", std::string(10 * 1024 * 1024, ' ')), 413, "BADREQUEST");
    expectError(post("/v2/nowhere/", nearbyBody()), 404, "BADREQUEST");
    const auto get = client()->Get("/v2/nearby/");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->status, 405);
    EXPECT_EQ(json::parse(get->body)["errorMessage"], "BADREQUEST");
    const auto put = client()->Put("/v2/more/", "{}", "application/json");
    ASSERT_TRUE(put);
    EXPECT_EQ(put->status, 405);
    EXPECT_EQ(post("/v2/nearby/", nearbyBody()).first, 200);
}

TEST_F(ServerTest, TripAndVehicleDetails) {
    const auto trip = [](const char* tripB64) {
        return json{{"city", "bp"}, {"tripIdB64", tripB64}, {"stopIdB64", "QQ=="}, {"routeIdB64", "Ujk="}}.dump();
    };
    const auto [status, j] = post("/v2/more/", trip("VDE="));
    ASSERT_EQ(status, 200) << j.dump();
    EXPECT_EQ(j["error"], false);
    EXPECT_EQ(j["trip"]["tripId"], "T1");
    ASSERT_EQ(j["trip"]["stops"].size(), 2u);
    EXPECT_EQ(j["trip"]["stops"][0]["selected"], true);
    EXPECT_EQ(j["warningText"], json::array());
    const auto missing = post("/v2/more/", trip("VDk="));
    expectError(missing, 200, "NOTRIP");
    EXPECT_EQ(missing.second["errorMessageText"], "A járat nem található");
    expectError(post("/v2/more/", trip("VDE")), 400, "BADREQUEST");
    const auto vehicle = post("/v2/vehicle/", trip("VDE="));
    expectError(vehicle, 200, "NOVEHICLE");
    EXPECT_EQ(vehicle.second["errorMessageText"], "Nincs elérhető járműpozíció");
    expectError(post("/v2/vehicle/", trip("VDk=")), 200, "NOTRIP");
}

TEST_F(ServerTest, HealthAndMetrics) {
    post("/v2/nearby/", nearbyBody());
    const auto health = client()->Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    const auto h = json::parse(health->body);
    EXPECT_EQ(h["cities"][0]["cityKey"], "bp");
    EXPECT_EQ(h["cities"][0]["feedStart"], "2025-01-01");
    EXPECT_EQ(h["cities"][0]["feedEnd"], "2025-12-31");
    const auto metrics = client()->Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find("tarvod_requests_total{endpoint=\"/v2/nearby/\",result=\"OK\"} 1"), std::string::npos)
        << metrics->body;
    EXPECT_NE(metrics->body.find("tarvod_request_seconds_count"), std::string::npos);
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
        const char partial[] = "\x16\x03\x01";  // the start of a TLS record, then nothing
        ASSERT_EQ(::send(fd, partial, 3, 0), 3);
        stalled.push_back(fd);
    }
    const auto [status, j] = post("/v2/nearby/", nearbyBody());
    EXPECT_EQ(status, 200);
    EXPECT_EQ(j["error"], false);
    for (const int fd : stalled) {
        ::close(fd);
    }
}

TEST_F(ServerTest, KeepAliveConnectionCarriesManyRequests) {
    // The server ends a keep-alive connection by answering "Connection: close"
    // once its request limit is reached; the default allows far more than 12.
    auto c = client();
    c->set_keep_alive(true);
    for (int i = 0; i < 12; ++i) {
        const auto res = c->Post("/v2/nearby/", headers(), nearbyBody(), "application/json");
        ASSERT_TRUE(res) << "request " << i << ": " << httplib::to_string(res.error());
        EXPECT_EQ(res->status, 200);
        EXPECT_NE(res->get_header_value("Connection"), "close") << "request " << i;
    }
}
