// The built velmomac --once against the loopback HTTPS server, as the local base.

#include "core/settings/AppSettings.h"
#include "tests/core/service/ServiceFixture.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <nlohmann/json.hpp>

#include <sstream>

using namespace velmo;
using velmo::test::Outcome;

namespace {

class ConsoleProgramTest : public velmo::test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        dir().write("config/velmomac/servers.conf", server.localServerLines());
        AppSettings().set("useDevelopmentServer", int64_t{1});
    }

    // The program inherits this test's XDG folders and time zone.
    Outcome once(const std::string& position = "47.4979,19.0402,25") {
        return velmo::test::runProgram(VELMOMAC_PROGRAM, {"--once", "--position", position, "--json"});
    }

    velmo::test::LoopbackHttps server;
};

std::string departure(const std::string& line, bool validFlag = true) {
    nlohmann::json item = velmo::test::sampleDeparture();
    item["routeName"] = line;
    item["hasDetails"] = validFlag ? nlohmann::json(true) : nlohmann::json(1);
    return item.dump();
}

}  // namespace

TEST_F(ConsoleProgramTest, JsonLinesOfTheStopDatesItems) {
    server.answer(R"({"error":false,"stopDatesNearby":[],"stopDates":[)" + departure("47") + "," +
                  departure("x", false) + "," + departure("9") + "]}");
    const Outcome result = once();
    EXPECT_EQ(result.exitCode, 0) << result.err;
    std::istringstream lines(result.out);
    std::vector<nlohmann::json> items;
    for (std::string line; std::getline(lines, line);)
        items.push_back(nlohmann::json::parse(line));
    ASSERT_EQ(items.size(), 2u) << result.out;
    EXPECT_EQ(items[0]["shortName"], "47");
    EXPECT_EQ(items[0].size(), 22u);
    EXPECT_TRUE(items[0]["stopDistance"].is_number_integer() && items[0]["stopLat"].is_number_float());
    EXPECT_EQ(items[1]["shortName"], "9");
    EXPECT_NE(result.err.find("indulás [1] kimarad: \"hasDetails\""), std::string::npos) << result.err;

    ASSERT_EQ(server.seen().size(), 1u);
    EXPECT_EQ(server.seen()[0].header("X-APP"), "velmomac");
}

TEST_F(ConsoleProgramTest, EndingsAndTheirExitStatuses) {
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {R"({"error":false,"stopDates":[]})", 0, ""},
        {R"({"error":true,"errorMessage":"NOSTOPS"})", 1, "velmomac: Nincs megálló a közeledben\n"},
        {R"({"error":true,"errorMessage":"NEWSTABLE","errorMessageText":"Frissíts!"})", 1, "velmomac: Frissíts!\n"},
        {"oops", 1, "velmomac: Hálózati hiba\n"},
        {R"({"error":true})", 3, "velmomac: A szolgáltatás nem adott választ\n"}};
    for (const auto& [reply, status, message] : cases) {
        SCOPED_TRACE(reply);
        server.answer(reply);
        const Outcome result = once();
        EXPECT_EQ(result.exitCode, status) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    }
    EXPECT_EQ(once("nowhere").exitCode, 2);  // a bad position never reaches the server
    EXPECT_EQ(server.seen().size(), cases.size());
}
