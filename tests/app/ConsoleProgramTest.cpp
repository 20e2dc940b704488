// Runs the built velmomac --once against a loopback departures server.

#include "core/settings/AppSettings.h"
#include "tests/core/service/LoopbackFixture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/wait.h>

using namespace velmo;
namespace fs = std::filesystem;

namespace {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

class ConsoleProgramTest : public velmo::test::LoopbackServiceTest {
protected:
    // The program inherits this test's XDG folders and time zone.
    ProgramRun run(const std::string& arguments) {
        const fs::path out = folder_ / "out.txt";
        const fs::path err = folder_ / "err.txt";
        const std::string command = std::string("'") + VELMOMAC_PROGRAM + "' " + arguments + " >'" + out.string() +
                                    "' 2>'" + err.string() + "' </dev/null";
        const int raw = std::system(command.c_str());
        ProgramRun result;
        result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        result.out = readFile(out);
        result.err = readFile(err);
        return result;
    }
};

std::string departure(const std::string& line, const std::string& minutes, bool live, bool favRoute) {
    nlohmann::json item = velmo::test::sampleDeparture();
    item["routeName"] = line;
    item["tripDepartureMinutesText"] = minutes;
    item["tripDepartureGPS"] = live;
    item["routeFavorite"] = favRoute;
    return item.dump();
}

}  // namespace

TEST_F(ConsoleProgramTest, JsonLinesOfTheStopDatesItems) {
    nlohmann::json broken = velmo::test::sampleDeparture();
    broken["hasDetails"] = 1;
    server->answer(R"({"error":false,"cityKey":"bp","stopDatesNearby":[],"stopDates":[)" +
                   departure("47", "!!", true, true) + "," + broken.dump() + "," + departure("9", "12", false, false) +
                   "]}");
    const ProgramRun result = run("--once --position 47.4979,19.0402,25 --json");
    EXPECT_EQ(result.status, 0) << result.err;

    std::istringstream lines(result.out);
    std::vector<nlohmann::json> items;
    for (std::string line; std::getline(lines, line);) {
        items.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(items.size(), 2u) << result.out;
    EXPECT_EQ(items[0]["shortName"], "47");
    EXPECT_EQ(items[0].size(), 22u);
    EXPECT_TRUE(items[0]["stopDistance"].is_number_integer());
    EXPECT_TRUE(items[0]["stopLat"].is_number_float());
    EXPECT_EQ(items[0]["departureMinutes"], "!!");
    EXPECT_EQ(items[1]["shortName"], "9");
    EXPECT_NE(result.err.find("indulás [1] kimarad: \"hasDetails\""), std::string::npos) << result.err;

    const std::vector<velmo::test::SeenRequest> seen = server->seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].path, "/v2/nearby/");
    EXPECT_EQ(seen[0].header("X-APP"), "velmomac");
    const nlohmann::json body = nlohmann::json::parse(seen[0].body);
    EXPECT_EQ(body["lat"], 47.4979);
    EXPECT_EQ(body["lon"], 19.0402);
}

TEST_F(ConsoleProgramTest, EndingsAndTheirExitStatuses) {
    struct Case {
        const char* name;
        std::string reply;
        int status;
        std::string message;  // on standard error
    };
    const std::vector<Case> cases{
        {"empty list", R"({"error":false,"stopDates":[]})", 0, ""},
        {"no stops", R"({"error":true,"errorMessage":"NOSTOPS"})", 1, "Nincs megálló a közeledben"},
        {"server text", R"({"error":true,"errorMessage":"NEWSTABLE","errorMessageText":"Frissíts!"})", 1, "Frissíts!"},
        {"not JSON", "oops", 1, "Hálózati hiba"},
        {"no lists, no code", R"({"error":true})", 3, "A szolgáltatás nem adott választ"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        server->answer(c.reply);
        const ProgramRun result = run("--once --position 47.4979,19.0402 --json");
        EXPECT_EQ(result.status, c.status) << result.err;
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
}

TEST_F(ConsoleProgramTest, CommandLineWithoutAQuery) {
    const ProgramRun help = run("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("--once"), std::string::npos);

    // Without --once the program opens its window; the window tests cover it.
    EXPECT_EQ(run("--once --position nowhere").status, 2);
    EXPECT_EQ(run("--once --frobnicate").status, 2);
    EXPECT_TRUE(server->seen().empty());
}
