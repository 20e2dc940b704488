#include "app/ConsoleMode.h"

#include <gtest/gtest.h>

using namespace velmo;

namespace {

PlistMap item(const char* type, const char* line, const char* stop, const char* direction, const char* minutes,
              bool live = false, bool favRoute = false, bool favStop = false) {
    return {{"type", type},
            {"shortName", line},
            {"name", stop},
            {"tripHeadsign", direction},
            {"departureMinutes", minutes},
            {"departureGPS", live},
            {"favRoute", favRoute},
            {"favStop", favStop},
            {"stopLat", 47.5},
            {"departure", int64_t{1741935600}}};
}

}  // namespace

TEST(ConsoleFormat, TimeTextAsTheRowViewWritesIt) {
    const std::vector<std::tuple<const char*, bool, std::string>> cases{
        {"!!", false, "MOST"},     {"!!", true, "MOST ●"}, {"3", false, "3 perc"},
        {"12", true, "12 perc ●"}, {"", false, " perc"},
    };
    for (const auto& [minutes, live, expected] : cases) {
        EXPECT_EQ(departureTimeText(item("BUS", "7", "S", "D", minutes, live)), expected) << minutes << " " << live;
    }
}

TEST(ConsoleFormat, TableKeepsTheOrderAndMarksFavourites) {
    const PlistList items{
        item("TRAM", "47", "Deák Ferenc tér", "Budafok", "!!", true, true, false),
        item("BUS", "9", "Astoria", "Óbuda", "12", false, false, true),
        item("BLANK", "H5", "Batthyány tér", "Szentendre", "3"),
    };
    EXPECT_EQ(formatDepartureTable(items),
              "Jármű     Járat  Megálló          Irány       Indulás\n"
              "villamos  47 ★   Deák Ferenc tér  Budafok     MOST ●\n"
              "busz      9      ★ Astoria        Óbuda       12 perc\n"
              "BLANK     H5     Batthyány tér    Szentendre  3 perc\n");
    EXPECT_EQ(formatDepartureTable({}), "");
}

TEST(ConsoleFormat, JsonLinesHoldTheItemMapsWithTheirKinds) {
    const PlistList items{item("TRAM", "47", "Deák Ferenc tér", "Budafok", "!!", true)};
    EXPECT_EQ(formatDepartureJsonLines(items),
              "{\"departure\":1741935600,\"departureGPS\":true,\"departureMinutes\":\"!!\",\"favRoute\":false,"
              "\"favStop\":false,\"name\":\"Deák Ferenc tér\",\"shortName\":\"47\",\"stopLat\":47.5,"
              "\"tripHeadsign\":\"Budafok\",\"type\":\"TRAM\"}\n");
    EXPECT_EQ(formatDepartureJsonLines({}), "");
}

TEST(ConsoleCommandLine, OptionsAndMistakes) {
    struct Case {
        std::vector<std::string> arguments;
        bool ok;
        bool once;
        bool json;
        bool help;
        std::optional<std::string> position;
    };
    const std::vector<Case> cases{
        {{}, true, false, false, false, std::nullopt},
        {{"--once"}, true, true, false, false, std::nullopt},
        {{"--once", "--json", "--position", "47.5,19.04"}, true, true, true, false, "47.5,19.04"},
        {{"--position=47.5,19.04,20", "--once"}, true, true, false, false, "47.5,19.04,20"},
        {{"-h"}, true, false, false, true, std::nullopt},
        {{"--help", "--once"}, true, true, false, true, std::nullopt},
        {{"--once", "--position"}, false, false, false, false, std::nullopt},
        {{"--once", "--position", "91,19"}, false, false, false, false, std::nullopt},
        {{"--once", "--position", "here"}, false, false, false, false, std::nullopt},
        {{"--once", "--verbose"}, false, false, false, false, std::nullopt},
        {{"--once", "extra"}, false, false, false, false, std::nullopt},
    };
    for (const Case& c : cases) {
        std::string shown;
        for (const auto& argument : c.arguments) {
            shown += argument + " ";
        }
        SCOPED_TRACE(shown);
        const CommandLine command = parseCommandLine(c.arguments);
        EXPECT_EQ(!command.error.has_value(), c.ok) << command.error.value_or("");
        if (c.ok) {
            EXPECT_EQ(command.options.once, c.once);
            EXPECT_EQ(command.options.json, c.json);
            EXPECT_EQ(command.options.help, c.help);
            EXPECT_EQ(command.options.position, c.position);
        }
    }
}

TEST(ConsoleCommandLine, HelpNamesEveryOptionAndTheLiveMarker) {
    const std::string help = consoleHelp();
    for (const char* word : {"--once", "--position", "--json", "--help", "●", "★", "MOST", "servers.conf"}) {
        EXPECT_NE(help.find(word), std::string::npos) << word;
    }
}
