// The HTTPS front over loopback: a live city, its sources polled once, a fixed clock.
#include "server/api/Server.h"
#include "tests/server/api/LoopbackServer.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>

#include <thread>

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto options = optionsWithCertificate(dir_.path());
        const auto newest =
            "entity { vehicle { trip { trip_id: 'T2' } position { latitude: 47.5 longitude: 19.0625 "
            "speed: 8.5 } vehicle { label: 'NYS-123' } current_status: IN_TRANSIT_TO timestamp: " +
            std::to_string(unix(kNow) - 45) + " } }";
        // T2's newest position comes between two older ones.
        const auto positions = vehicle("T2", 47.51, 50) + newest + vehicle("T2", 47.52, 60) + vehicle("T3", 47.5, 0);
        dir_.write("vehicles.pb", message(kNow - 40s, positions).SerializeAsString());
        poller_ = std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", vehicles_}, {"bp", missing_}}, realtime::PollerOptions{},
            [this](const std::string&) { return std::optional(city_.target()); }, [] { return kNow; });
        poller_->pollAll();

        options.threads = 2;
        options.requestTimeout = options.idleTimeout = 1s;
        options.versions["velmomac"] = {"1.2", 50};
        options.realtimeStatus = [this] { return poller_->status(); };
        auto snapshot = std::make_shared<query::Snapshot>(city_.snapshot);
        server_ = std::make_unique<LoopbackServer>(
            options, [snapshot] { return snapshot; }, [] { return kNow; });
        port_ = server_->port();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override { server_.reset(); }

    // A client that checks the server's certificate.
    std::unique_ptr<httplib::SSLClient> client() { return verifyingClient(port_, cert_); }
    static httplib::Headers headers(const std::string& level = "2") {
        return {{"X-APP", "velmomac"}, {"X-APPVERSION", "1.2.0"}, {"X-APPBUILD", "50"}, {"X-APILEVEL", level}};
    }
    std::pair<int, json> post(const std::string& path, const std::string& body, const httplib::Headers& h = headers()) {
        const auto res = client()->Post(path.c_str(), h, body, "application/json");
        EXPECT_TRUE(res) << "no reply: " << httplib::to_string(res.error());
        return res ? std::pair(res->status, json::parse(res->body, nullptr, false)) : std::pair(0, json());
    }
    static std::string nearby(double lat = kLat) {
        return R"({"method":"TRIPSFORLOCATION","lat":)" + std::to_string(lat) +
               R"(,"lon":19.05,"fetchRadius":500,"realRadius":300,"minutes":30,"favSortMode":3,"favRoutes":[],)"
               R"("favStops":["A"]})";
    }
    static std::string details(const char* tripB64) {
        return json{{"city", "bp"}, {"tripIdB64", tripB64}, {"stopIdB64", "QQ=="}, {"routeIdB64", "Ujk="}}.dump();
    }

    TempDir dir_;
    std::string cert_ = (dir_.path() / "cert.pem").string();
    std::string vehicles_ = (dir_.path() / "vehicles.pb").string(), missing_ = (dir_.path() / "missing.pb").string();
    LiveCity city_;
    std::unique_ptr<realtime::Poller> poller_;
    std::unique_ptr<LoopbackServer> server_;
    int port_ = 0;
};

}  // namespace

TEST_F(ServerTest, AnswersTheThreeRequestsHealthAndMetrics) {
    const auto [status, j] = post("/v2/nearby/", nearby());
    ASSERT_EQ(status, 200) << j.dump();
    EXPECT_EQ(std::tuple(j["error"], j["cityKey"], j["stopDates"].size(), j["stopDatesNearby"].size()),
              std::tuple(json(false), json("bp"), 2u, 2u));
    const json& item = j["stopDates"][0];
    EXPECT_EQ(std::tuple(item.size(), item["tripId"], item["tripDepartureMinutesText"], item["stopFavorite"],
                         item["tripCancelled"]),
              std::tuple(24u, json("T2"), json("5"), json(true), json(false)));

    // T1 is under way: it has left A (the selected stop) and not yet reached C, its headsign's stop.
    const auto trip = post("/v2/more/", details("VDE=")).second["trip"];
    EXPECT_EQ(std::tuple(trip["tripId"], trip["routeName"], trip["routeType"], trip["headsign"], trip["stops"].size()),
              std::tuple(json("T1"), json("9"), json("BUS"), json("Gamma"), 3u));
    EXPECT_EQ(std::tuple(trip["stops"][0]["passed"], trip["stops"][0]["selected"], trip["stops"][2]["passed"],
                         trip["stops"][1]["cancelled"]),
              std::tuple(json(true), json(true), json(false), json(false)));

    // Values a float holds exactly, so that the whole reply can be compared.
    EXPECT_EQ(post("/v2/vehicle/", details("VDI=")).second,
              json::parse(R"({"error":false,"vehicle":{"lat":47.5,"lon":19.0625,"bearing":null,"speed":8.5,)"
                          R"("timestamp":)" +
                          std::to_string(unix(kNow) - 45) +
                          R"(,"label":"NYS-123","currentStopId":"","status":"IN_TRANSIT_TO"}})"));

    const auto health = client()->Get("/healthz");
    ASSERT_TRUE(health);
    const json city = json::parse(health->body)["cities"][0];
    EXPECT_EQ(std::tuple(city["cityKey"], city["feedStart"], city["feedEnd"], city["realtimeAgeSeconds"]),
              std::tuple(json("bp"), json("2025-01-01"), json("2025-12-31"), json(40)));
    ASSERT_EQ(city["realtime"].size(), 2u);
    EXPECT_EQ(std::tuple(city["realtime"][0]["lastSuccess"], city["realtime"][0]["lastError"],
                         city["realtime"][1]["lastSuccess"]),
              std::tuple(json(unix(kNow)), json(""), json()));
    EXPECT_NE(city["realtime"][1]["lastError"].get<std::string>().find("cannot read"), std::string::npos);

    const auto metrics = client()->Get("/metrics");
    ASSERT_TRUE(metrics);
    const std::string vehicles = R"({city="bp",source=")" + vehicles_ + "\"";
    const std::string missing = R"({city="bp",source=")" + missing_ + "\"";
    const std::vector<std::string> lines{R"(tarvod_requests_total{endpoint="/v2/nearby/",result="OK"} 1)",
                                         R"(tarvod_requests_total{endpoint="/healthz",result="200"} 1)",
                                         "tarvod_request_seconds_count 4",
                                         "tarvod_realtime_age_seconds" + vehicles + "} 40",
                                         "tarvod_realtime_failures_total" + missing + "} 1",
                                         "tarvod_realtime_last_error_info" + missing};
    for (const auto& line : lines)
        EXPECT_NE(metrics->body.find(line), std::string::npos) << line << "\n" << metrics->body;
}

// One case of each way a request can fail, from the client gate to the engine.
TEST_F(ServerTest, ErrorsGetTheEnvelopeAndTheServerCarriesOn) {
    const std::string bad = "Hibás kérés";
    const std::tuple<const char*, std::string, std::string, int, const char*, std::string> cases[] = {
        {"/v2/nearby/", nearby(46.0), "2", 200, "NOSTOPS", ""},
        {"/v2/nearby/", nearby(), "1", 200, "NEWSTABLE", ""},
        {"/v2/nearby/", "{not json", "2", 400, "BADREQUEST", bad},
        {"/v2/nearby/", std::string(10 * 1024 * 1024, ' '), "2", 413, "BADREQUEST", bad},
        {"/v2/nowhere/", nearby(), "2", 404, "BADREQUEST", bad},
        {"/v2/more/", details("VDE"), "2", 400, "BADREQUEST", bad},
        {"/v2/more/", details("WFg="), "2", 200, "NOTRIP", "A járat nem található"},
        {"/v2/vehicle/", details("VDE="), "2", 200, "NOVEHICLE", "Nincs elérhető járműpozíció"},
        {"/v2/vehicle/", details("WFg="), "2", 200, "NOTRIP", "A járat nem található"},
    };
    for (const auto& [path, body, level, status, code, text] : cases) {
        const auto [got, j] = post(path, body, headers(level));
        EXPECT_EQ(
            std::tuple(got, j.value("error", false), j.value("errorMessage", ""), j.value("errorMessageText", "")),
            std::tuple(status, true, code, text))
            << path << " " << j.dump();
    }
    for (const auto& res : {client()->Get("/v2/nearby/"), client()->Put("/v2/more/", "{}", "application/json")}) {
        ASSERT_TRUE(res);
        EXPECT_EQ(std::tuple(res->status, res->get_header_value("Allow"), json::parse(res->body)["errorMessage"]),
                  std::tuple(405, "POST", json("BADREQUEST")));
    }
    EXPECT_EQ(post("/v2/nearby/", nearby()).first, 200);
}

// A decoded path reaches the log escaped: it can neither forge a line nor send terminal escapes.
TEST_F(ServerTest, RequestPathsAreLoggedEscaped) {
    std::stringstream log;
    const auto previous = spdlog::default_logger();
    auto capture = std::make_shared<spdlog::logger>("capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(log));
    capture->set_level(spdlog::level::debug);
    spdlog::set_default_logger(capture);
    const auto res = client()->Get("/v2/%0d%0aINFO%20forged%1b[2J");
    spdlog::set_default_logger(previous);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 404);
    std::vector<std::string> lines;
    for (std::string line; std::getline(log, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u) << log.str();
    EXPECT_NE(lines[0].find("GET /v2/\\r\\nINFO forged\\x1B[2J 404"), std::string::npos) << lines[0];
}
