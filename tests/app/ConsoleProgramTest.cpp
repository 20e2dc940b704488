// velmomac's console mode: the command line and the two output formats, then the built velmomac --once against the
// loopback HTTPS server as the local base.

#include "app/ConsoleMode.h"
#include "core/settings/AppSettings.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/core/service/ServiceFixture.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <sstream>

using namespace velmo;
using velmo::test::Outcome;

namespace {

PlistMap item(const char* type, const char* line, const char* stop, const char* direction, const char* minutes,
              bool live = false, bool favRoute = false, bool favStop = false) {
    // clang-format off
    return {{"type", type}, {"shortName", line}, {"name", stop}, {"tripHeadsign", direction},
            {"departureMinutes", minutes}, {"departureGPS", live}, {"favRoute", favRoute}, {"favStop", favStop},
            {"stopLat", 47.5}, {"departure", int64_t{1741935600}}};
    // clang-format on
}

class ConsoleProgramTest : public velmo::test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        dir().write("config/velmomac/servers.conf", server.localServerLines());
        AppSettings().set("useDevelopmentServer", int64_t{1});
    }

    // The program inherits this test's XDG folders and time zone.
    Outcome once(const std::string& position = "47.4979,19.0402,25", bool json = true) {
        std::vector<std::string> arguments{"--once", "--position", position};
        if (json)
            arguments.push_back("--json");
        return velmo::test::runProgram(VELMOMAC_PROGRAM, arguments);
    }

    velmo::test::LoopbackHttps server;
};

std::string departure(const std::string& line, bool validFlag = true) {
    nlohmann::json item = velmo::test::sampleDeparture();
    item["routeName"] = line;
    item["hasDetails"] = validFlag ? nlohmann::json(true) : nlohmann::json(1);
    return item.dump();
}

// No control character but the line end, nor the C1 CSI the server sent: nothing a terminal would obey.
bool onlyLineEnds(const std::string& text) {
    return std::ranges::none_of(text, [](char c) { return (c >= 0 && c < 0x20 && c != '\n') || c == 0x7F; }) &&
           text.find("\xc2\x9b") == std::string::npos;
}

}  // namespace

TEST(ConsoleFormat, TableKeepsTheOrderAlignsByCharactersAndMarksFavouritesAndLiveTimes) {
    const PlistList items{item("TRAM", "47", "Deák Ferenc tér", "Budafok", "!!", true, true, false),
                          item("BUS", "9", "Astoria", "Óbuda", "12", false, false, true),
                          item("BLANK", "H5", "Batthyány tér", "Szentendre", "")};
    EXPECT_EQ(formatDepartureTable(items),
              "Jármű     Járat  Megálló          Irány       Indulás\n"
              "villamos  47 ★   Deák Ferenc tér  Budafok     MOST ●\n"
              "busz      9      ★ Astoria        Óbuda       12 perc\n"
              "BLANK     H5     Batthyány tér    Szentendre   perc\n");
    EXPECT_EQ(formatDepartureTable({}), "");
    EXPECT_EQ(departureTimeText(item("BUS", "7", "S", "D", "3", true)), "3 perc ●");
    PlistMap cancelled = item("BUS", "7", "S", "D", "3", true);
    cancelled["tripCancelled"] = true;
    EXPECT_EQ(departureTimeText(cancelled), "elmarad");
}

TEST(ConsoleCommandLine, OptionsAndMistakes) {
    struct Good {
        std::vector<std::string> arguments;
        bool once, json, help;
        std::optional<std::string> position;
        std::optional<int> details;
    };
    // clang-format off
    const std::vector<Good> good{
        {{}, false, false, false, std::nullopt, std::nullopt},
        {{"--once", "--json", "--position", "-47.5,19.04"}, true, true, false, "-47.5,19.04", std::nullopt},
        {{"--position=47.5,19.04,20", "--once"}, true, false, false, "47.5,19.04,20", std::nullopt},
        {{"-h", "--once"}, true, false, true, std::nullopt, std::nullopt},
        {{"--once", "--details", "1"}, true, false, false, std::nullopt, 1},
        {{"--once", "--details=12", "--json"}, true, true, false, std::nullopt, 12}};
    // clang-format on
    for (const Good& c : good) {
        const CommandLine command = parseCommandLine(c.arguments);
        ASSERT_FALSE(command.error) << *command.error;
        const ConsoleOptions& o = command.options;
        EXPECT_EQ(std::tie(o.once, o.json, o.help, o.position, o.details),
                  std::tie(c.once, c.json, c.help, c.position, c.details))
            << ::testing::PrintToString(c.arguments);
    }
    // Refused, with a message naming the word shown; --details takes a positive number and needs --once.
    // clang-format off
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad{
        {{"--once", "--position"}, ""}, {{"--once", "--position", "91,19"}, ""}, {{"--once", "--verbose"}, "--verbose"},
        {{"--once", "extra"}, "extra"}, {{"--once", "--details", "0"}, "--details"},
        {{"--once", "--details", "-1"}, "--details"}, {{"--once", "--details", "2x"}, "--details"},
        {{"--once", "--details"}, "--details"}, {{"--details", "1"}, "--details"}};
    // clang-format on
    for (const auto& [arguments, word] : bad) {
        const CommandLine command = parseCommandLine(arguments);
        ASSERT_TRUE(command.error) << ::testing::PrintToString(arguments);
        EXPECT_NE(command.error->find(word), std::string::npos) << *command.error;
    }
}

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

// Far from every stop and without the network: tests/e2e.
TEST_F(ConsoleProgramTest, EndingsAndTheirExitStatuses) {
    const std::vector<std::tuple<std::string, int, std::string>> cases{
        {R"({"error":false,"stopDates":[]})", 0, ""},
        {R"({"error":true,"errorMessage":"NEWSTABLE","errorMessageText":"Frissíts!"})", 1, "velmomac: Frissíts!\n"},
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

// The built-in production base is empty: with nothing in servers.conf no server is set.
TEST_F(ConsoleProgramTest, WithoutAServerItSaysSoAndHowToSetOne) {
    dir().write("config/velmomac/servers.conf", "# nothing set\n");
    AppSettings().set("useDevelopmentServer", int64_t{0});
    const Outcome result = once();
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("velmomac: Nincs beállítva kiszolgáló\n"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("servers.conf fájlban: production = https://"), std::string::npos) << result.err;
    EXPECT_TRUE(server.seen().empty());
}

// Where the position cannot be had, the message says how to give one instead.
TEST_F(ConsoleProgramTest, ALocationFailureTellsHowToSetAFixedPosition) {
    UserDefaults("velmomac.group").setObject("locationSource", PlistValue(std::string("nmea:/no/such/log")));
    const Outcome result = velmo::test::runProgram(VELMOMAC_PROGRAM, {"--once"});
    EXPECT_EQ(result.exitCode, 1) << result.err;
    EXPECT_NE(result.err.find("velmomac: A pozíciód meghatározása nem sikerült\n"
                              "velmomac: Rögzített pozíció: velmo-settings set locationFixed SZÉLESSÉG,HOSSZÚSÁG"),
              std::string::npos)
        << result.err;
    EXPECT_TRUE(server.seen().empty());
}

TEST_F(ConsoleProgramTest, ServerTextsReachTheTerminalWithoutControlCharacters) {
    nlohmann::json item = velmo::test::sampleDeparture();
    item["stopName"] = "Deák\x1b[2J tér\r\nvillamos  99  Hamis";
    item["tripHeadsign"] =
        "Budafok\xc2\x9b"
        "31m\x7f";
    // Local texts on standard error go through the same filter.
    dir().write("config/velmomac/servers.conf", server.localServerLines() + "\x1b[2Jszín = 1\n");
    const std::string reply = nlohmann::json{{"error", false}, {"stopDates", {item}}}.dump();
    server.answer(reply);
    server.answer(reply);
    server.answer(R"({"error":true,"errorMessage":"NEWSTABLE",)"
                  R"("errorMessageText":"Frissíts\u001b]0;cím\u0007!\r\nvelmomac: hamis sor"})");
    server.answer(R"({"error":false,"stopDates":{"x\u001b[2J\nvelmo: hamis":{}}})");

    const Outcome table = once("47.4979,19.0402,25", false);
    EXPECT_EQ(table.exitCode, 0) << table.err;
    EXPECT_EQ(table.out,
              "Jármű     Járat  Megálló                         Irány       Indulás\n"
              "villamos  47 ★   Deák[2J térvillamos  99  Hamis  Budafok31m  3 perc ●\n");

    const Outcome json = once();
    EXPECT_TRUE(onlyLineEnds(json.out)) << json.out;
    EXPECT_NE(json.out.find(R"("Deák\u001b[2J tér\r\nvillamos)"), std::string::npos) << json.out;
    const nlohmann::json line = nlohmann::json::parse(json.out);
    EXPECT_EQ(std::make_pair(line["name"], line["tripHeadsign"]),
              std::make_pair(item["stopName"], item["tripHeadsign"]));  // escaped, not lost

    const Outcome error = once();
    EXPECT_EQ(error.exitCode, 1);
    EXPECT_TRUE(onlyLineEnds(error.err)) << error.err;
    EXPECT_NE(error.err.find("velmomac: Frissíts]0;cím!velmomac: hamis sor\n"), std::string::npos) << error.err;
    EXPECT_NE(error.err.find("ismeretlen kulcs: \"[2Jszín\""), std::string::npos) << error.err;

    const Outcome skipped = once();  // the list's member names reach the log escaped
    EXPECT_TRUE(onlyLineEnds(skipped.err)) << skipped.err;
    EXPECT_NE(skipped.err.find(R"(velmo: indulás [x\x1B[2J\nvelmo: hamis] kimarad)"), std::string::npos) << skipped.err;
}
