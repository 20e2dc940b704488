// velmomac's console mode without a query: the command line and the two output formats.

#include "app/ConsoleMode.h"

#include <gtest/gtest.h>

using namespace velmo;

namespace {

PlistMap item(const char* type, const char* line, const char* stop, const char* direction, const char* minutes,
              bool live = false, bool favRoute = false, bool favStop = false) {
    // clang-format off
    return {{"type", type}, {"shortName", line}, {"name", stop}, {"tripHeadsign", direction},
            {"departureMinutes", minutes}, {"departureGPS", live}, {"favRoute", favRoute}, {"favStop", favStop},
            {"stopLat", 47.5}, {"departure", int64_t{1741935600}}};
    // clang-format on
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
}

TEST(ConsoleCommandLine, OptionsAndMistakes) {
    struct Case {
        std::vector<std::string> arguments;
        bool ok = false, once = false, json = false, help = false;
        std::optional<std::string> position = std::nullopt;
    };
    const std::vector<Case> cases{
        {{}, true, false, false, false, std::nullopt},
        {{"--once", "--json", "--position", "-47.5,19.04"}, true, true, true, false, "-47.5,19.04"},
        {{"--position=47.5,19.04,20", "--once"}, true, true, false, false, "47.5,19.04,20"},
        {{"-h", "--once"}, true, true, false, true, std::nullopt},
        {{"--once", "--position"}, false},
        {{"--once", "--position", "91,19"}, false},
        {{"--once", "--verbose"}, false},
        {{"--once", "extra"}, false}};
    for (const Case& c : cases) {
        const CommandLine command = parseCommandLine(c.arguments);
        EXPECT_EQ(!command.error.has_value(), c.ok) << command.error.value_or("") << c.arguments.size();
        if (c.ok) {
            EXPECT_EQ(std::make_tuple(command.options.once, command.options.json, command.options.help),
                      std::make_tuple(c.once, c.json, c.help));
            EXPECT_EQ(command.options.position, c.position);
        }
    }
}
