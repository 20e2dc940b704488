// v2/stops/ through the HTTPS front: stops by the start of a word of their name, without
// regard to case or accents, one per stop group, over every city or one.
#include "server/api/Server.h"
#include "tests/server/api/LoopbackServer.h"

#include "tests/support/Feeds.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include <thread>

using namespace velmo;
using namespace velmo::test;
using nlohmann::json;

namespace {

std::shared_ptr<query::Snapshot> twoCities() {
    FeedBuilder bp;
    bp.stop("P", "Deák Ferenc tér", 47.4977, 19.0540, "", 1)
        .stop("A", "Deák Ferenc tér", 47.4978, 19.0541, "P")
        .stop("B", "Deák Ferenc tér", 47.4976, 19.0539, "P")
        .stop("K", "Kis Deák utca", 47.49, 19.05)
        .stop("N", "Nádeák", 47.48, 19.05)
        .stop("O", "Őrmező", 47.46, 19.00)
        .stop("S1", "Széll Kálmán tér", 47.5072, 19.0250)
        .stop("S2", "Széll Kálmán tér", 47.5073, 19.0251)
        .route("R9", "9", 3)
        .trip("T1", "R9", {{"A", "08:00:00"}, {"K", "08:05:00"}});
    for (int i = 1; i <= 105; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "Megálló %03d", i);
        bp.stop("M" + std::to_string(i), name, 47.40 + i * 0.001, 19.10);
    }
    FeedBuilder sz;
    sz.stop("D", "Deák Ferenc utca", 46.2530, 20.1480)
        .stop("T", "Dóm tér", 46.2500, 20.1490)
        .route("R1", "1", 0)
        .trip("T1", "R1", {{"D", "08:00:00"}, {"T", "08:05:00"}});
    auto snapshot = std::make_shared<query::Snapshot>();
    snapshot->cities.push_back(query::City::build({"bp", "Budapest", "", ""}, bp.load()));
    snapshot->cities.push_back(query::City::build({"sz", "Szeged", "", ""}, sz.load()));
    return snapshot;
}

class StopsTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto options = optionsWithCertificate(dir_.path());
        options.threads = 1;
        server_ = std::make_unique<LoopbackServer>(
            options, [s = twoCities()] { return s; }, [] { return std::chrono::sys_seconds{}; });
        port_ = server_->port();
        ASSERT_GT(port_, 0);
    }
    void TearDown() override { server_.reset(); }
    std::pair<int, json> post(const std::string& body) {
        const auto res =
            verifyingClient(port_, cert_)
                ->Post("/v2/stops/", {{"X-APP", "velmomac"}, {"X-APILEVEL", "2"}}, body, "application/json");
        EXPECT_TRUE(res);
        return res ? std::pair(res->status, json::parse(res->body, nullptr, false)) : std::pair(0, json());
    }

    TempDir dir_;
    std::string cert_ = (dir_.path() / "cert.pem").string();
    std::unique_ptr<LoopbackServer> server_;
    int port_ = 0;
};

}  // namespace

TEST_F(StopsTest, MatchesWordStartsWithoutCaseOrAccentsWithinTheLimit) {
    // The expected "city:id:name" of each match, in order; "… N more" stands for a count.
    const std::vector<std::pair<std::string, std::vector<std::string>>> cases{
        {R"({"text":"deak"})", {"bp:P:Deák Ferenc tér", "sz:D:Deák Ferenc utca", "bp:K:Kis Deák utca"}},
        {R"({"text":"  DEÁK  ","city":"sz"})", {"sz:D:Deák Ferenc utca"}},
        {R"({"text":"ferenc u"})", {"sz:D:Deák Ferenc utca"}},
        {R"({"text":"ORMEZO"})", {"bp:O:Őrmező"}},
        {R"({"text":"őrm"})", {"bp:O:Őrmező"}},
        {R"({"text":"szell kal"})", {"bp:S1:Széll Kálmán tér"}},
        {R"({"text":"deak","city":"nowhere"})", {}},
        {R"({"text":"megallo","limit":2.9})", {"bp:M1:Megálló 001", "bp:M2:Megálló 002"}},
        {R"({"text":"megallo 10"})",
         {"bp:M100:Megálló 100", "bp:M101:Megálló 101", "bp:M102:Megálló 102", "bp:M103:Megálló 103",
          "bp:M104:Megálló 104", "bp:M105:Megálló 105"}},
        {R"({"text":"megallo"})", {"20 more"}},
        {R"({"text":"megallo","limit":1000})", {"100 more"}},
        {R"({"text":"megallo","limit":0})", {"1 more"}},
    };
    for (const auto& [body, expected] : cases) {
        const auto [status, j] = post(body);
        ASSERT_EQ(status, 200) << body << " " << j.dump();
        EXPECT_EQ(j["error"], false);
        std::vector<std::string> got;
        for (const auto& s : j["stops"]) {
            got.push_back(s["city"].get<std::string>() + ":" + s["id"].get<std::string>() + ":" +
                          s["name"].get<std::string>());
        }
        if (expected.size() == 1 && expected[0].ends_with(" more")) {
            EXPECT_EQ(std::to_string(got.size()) + " more", expected[0]) << body;
        } else {
            EXPECT_EQ(got, expected) << body;
        }
    }
    // Each match carries its position and its city's name.
    const json first = post(R"({"text":"deak","limit":1})").second["stops"][0];
    EXPECT_EQ(std::tuple(first["lat"], first["lon"], first["cityName"]),
              std::tuple(json(47.4977), json(19.054), json("Budapest")));
}

TEST_F(StopsTest, BadRequestsGetTheEnvelope) {
    for (const char* body : {"{not json", "[]", R"({"city":"bp"})", R"({"text":5})", R"({"text":" \t "})",
                             R"({"text":"deak","limit":"5"})", R"({"text":"deak","city":3})"}) {
        const auto [status, j] = post(body);
        EXPECT_EQ(
            std::tuple(status, j.value("error", false), j.value("errorMessage", ""), j.value("errorMessageText", "")),
            std::tuple(400, true, "BADREQUEST", "Hibás kérés"))
            << body;
    }
    EXPECT_EQ(post(R"({"text":")" + std::string(201, 'a') + "\"}").first, 400);
}
