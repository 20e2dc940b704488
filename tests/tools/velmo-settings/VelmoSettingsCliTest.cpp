// velmo-settings, run as a program: output, exit codes, stored values, and that bad input
// changes nothing.

#include "tests/core/settings/SettingsFixture.h"
#include "tests/support/Program.h"

#include <gmock/gmock.h>

#include <limits>

namespace velmo::test {
namespace {

using ::testing::HasSubstr;

class CliTest : public SettingsFixture {
protected:
    static Outcome run(const std::vector<std::string>& args) { return runProgram(VELMO_SETTINGS_BIN, args); }
};

// Values are shown as JSON: floats in their own shortest text, NaN as null.
TEST_F(CliTest, ListShowsWhatIsStoredSortedByKey) {
    suite().setInteger("configVersion", AppSettings::kConfigVersion);  // no start-up check is due
    suite().setObject("zeta", PlistMap{{"raw", "Örs \"vezér\""}, {"n", PlistList{true, PlistValue()}}});
    suite().setFloat("ratio", 0.1F);
    suite().setFloat("nan", std::numeric_limits<float>::quiet_NaN());
    suite().setInteger("settingMinutes", 45);
    const Outcome r = run({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, "configVersion\tint\t" + std::to_string(AppSettings::kConfigVersion) +
                         "\nnan\tfloat\tnull\nratio\tfloat\t0.1\nsettingMinutes\tint\t45\n"
                         "zeta\tmap\t{\"n\":[true,null],\"raw\":\"Örs \\\"vezér\\\"\"}\n");
    const nlohmann::json json = nlohmann::json::parse(run({"list", "--json"}).out);
    EXPECT_EQ(json.size(), 5U);
    EXPECT_EQ(json.at("ratio"), (nlohmann::json{{"type", "float"}, {"value", 0.1}}));
}

TEST_F(CliTest, BadInputIsRefusedWithExit2AndChangesNothing) {
    // A due start-up check would change the suite too: it must not run either.
    suite().setInteger("configVersion", 143);
    suite().setFloat("settingRadius", 350.0F);
    suite().setObject("previousReply1", "kept");
    const PlistMap before = suite().dictionaryRepresentation();
    // Each with a word its one-line message must name.
    // clang-format off
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"set", "settingMinutes", "abc"}, "settingMinutes"},   {{"set", "settingRadius", "0x10"}, "0x10"},
        {{"set", "settingRadius", "nan"}, "nan"},               {{"set", "settingRadius", "350"}, "350"},
        {{"set", "settingRovavorir", "yes"}, "yes"},            {{"set", "settingTodayNum", "99999999999999999999"}, "settingTodayNum"},
        {{"set", "foo", "bar"}, "foo"},                         {{"set", "--type", "json", "foo", "{\"a\":"}, "foo"},
        {{"set", "--type", "widget", "foo", "1"}, "widget"},    {{"set", "--type", "string", "settingRadius", "x"}, "--raw"},
        {{"set", "settingFavStopList", "[{\"raw\":1}]"}, "settingFavStopList"},
        {{"set", "settingMinutes"}, ""},  {{"set", "a", "b", "c"}, ""},  {{"get"}, ""},  {{}, ""},  {{"fav", "add", "stop"}, ""},
        {{"frobnicate"}, "frobnicate"},   {{"list", "--bogus"}, "--bogus"},  {{"reset", "--raw"}, "reset"},
        {{"fav", "add", "bus", "X"}, "bus"},  {{"fav", "drop", "stop", "X"}, "drop"}};
    // clang-format on
    for (const auto& [args, word] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome r = run(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, ::testing::StartsWith("velmo-settings: "));
        EXPECT_THAT(r.err, HasSubstr(word));
        EXPECT_EQ(suite().dictionaryRepresentation(), before);
    }
    // A value outside the allowed list is answered with the allowed ones.
    EXPECT_THAT(run({"set", "useDevelopmentServer", "2"}).err, HasSubstr("\n  0\n  1\n"));
}

TEST_F(CliTest, SetParsesTheValueByTheKeysType) {
    // clang-format off
    const std::vector<std::pair<std::vector<std::string>, PlistValue>> cases{
        {{"set", "settingRadius", "750"}, 750.0F},           {{"set", "settingFavStopRadius", "-1"}, -1.0F},
        {{"set", "settingMinutes", "45"}, int64_t{45}},      {{"set", "settingFavSortMode", "1"}, true},
        {{"set", "settingFavSortMode", "false"}, false},     {{"set", "deviceUUID", "my-device"}, "my-device"},
        {{"set", "--type=double", "ratio", "2.5"}, 2.5},     {{"set", "--type", "float", "ratio", "0.1"}, 0.1F},
        {{"set", "--type", "string", "name", "-1"}, "-1"},   {{"set", "--raw", "settingRadius", "350"}, 350.0F},
        {{"set", "--raw", "--type", "string", "settingMinutes", "sok"}, "sok"},
        {{"set", "settingFavTripList", R"([{"raw":"T1","display":"Egyes"}])"}, PlistList{PlistMap{{"raw", "T1"}, {"display", "Egyes"}}}},
        {{"set", "--type", "json", "reply", R"([{"error":"NOLOCATION"}])"}, PlistList{PlistMap{{"error", "NOLOCATION"}}}}};
    // clang-format on
    for (const auto& [args, stored] : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome r = run(args);
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(suite().objectForKey(args[args.size() - 2]), stored);  // KEY ÉRTÉK come last
    }
}

TEST_F(CliTest, GetShowsTheValueWithItsLabel) {
    EXPECT_EQ(run({"get", "settingFavTrip"}).out, "2\tirányonként egy-egy\n");
    EXPECT_EQ(run({"get", "useDevelopmentServer"}).out, "0\n");
    EXPECT_EQ(run({"get", "nonsense"}).out, "null\n");
    run({"set", "--raw", "settingRadius", "350"});
    const Outcome outside = run({"get", "settingRadius"});
    EXPECT_EQ(outside.out, "350.0\n");
    EXPECT_THAT(outside.err, HasSubstr("settingRadius"));
}

TEST_F(CliTest, FavouritesAddListRemoveAndReset) {
    EXPECT_EQ(run({"fav", "add", "stop", "S2", "béke tér"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "stop", "S1", "Astoria"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "stop", "S3"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "trip", "T1", "Egyes"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "list", "stop"}).out, "S1\tAstoria\nS2\tbéke tér\nS3\tS3\n");
    EXPECT_THAT(run({"fav", "add", "stop", "S1", "Other"}).err, HasSubstr("S1"));  // kept as it was
    const Outcome missing = run({"fav", "remove", "stop", "S9"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("S9"));
    EXPECT_EQ(run({"fav", "remove", "stop", "S1"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "list", "stop"}).out, "S2\tbéke tér\nS3\tS3\n");
    EXPECT_EQ(run({"fav", "list", "trip"}).out, "T1\tEgyes\n");

    EXPECT_EQ(run({"reset"}).exitCode, 0);
    EXPECT_TRUE(suite().dictionaryRepresentation().empty());
}

TEST_F(CliTest, AWriteToAnUnusableSuiteFails) {
    const ScopedEnv config("XDG_CONFIG_HOME", dir().write("file", "not a folder").string());
    const Outcome r = run({"set", "settingMinutes", "45"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("velmo-settings: a beállítások nem írhatók"));
    EXPECT_EQ(run({"fav", "add", "stop", "S1"}).exitCode, 1);
}

}  // namespace
}  // namespace velmo::test
