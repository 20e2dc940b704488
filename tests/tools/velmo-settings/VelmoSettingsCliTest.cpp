// velmo-settings, run as a program: output, exit codes, stored values, that bad input changes nothing, and that a store
// it cannot read or write, or one that stays busy, is never taken for success.

#include "tests/core/settings/SettingsFixture.h"
#include "tests/support/Program.h"

#include <gmock/gmock.h>
#include <sqlite3.h>

#include <chrono>
#include <limits>
#include <thread>

namespace velmo::test {
namespace {

namespace fs = std::filesystem;
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
    const Outcome read = run({"get", "settingMinutes"});  // no default shown as if stored
    EXPECT_EQ(read.exitCode, 1);
    EXPECT_EQ(read.out, "");
}

// Another program holds the write lock: a write that waited the whole time-out fails and
// says the file was busy; one whose wait ended in time is no failure at all.
TEST_F(CliTest, ABusySuiteIsNamedAsBusyAndAWaitThatEndsIsNoFailure) {
    suite().setInteger("configVersion", AppSettings::kConfigVersion);
    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open((suiteFolder() / "velmomac.group.sqlite").c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const Outcome failed = run({"set", "settingMinutes", "45"});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_THAT(failed.err, HasSubstr("foglalt"));

    std::thread release([holder] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    });
    const Outcome waited = run({"set", "settingMinutes", "50"});
    release.join();
    sqlite3_close(holder);
    EXPECT_EQ(waited.exitCode, 0);
    EXPECT_EQ(waited.err, "");
    EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue(int64_t{50}));
}

// A write-protected file or folder, as an ordinary user meets it (tests may run as root).
class ProtectedSuiteTest : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (runProgram("/bin/true", {}, true).exitCode == kNoUnprivilegedRun)
            GTEST_SKIP() << "this process cannot run a program without root's file-permission overrides";
        suite().setInteger("configVersion", AppSettings::kConfigVersion);
        suite().setInteger("settingMinutes", 45);
        suite().setObject("settingFavStopList", PlistList{PlistMap{{"raw", "S1"}, {"display", "Astoria"}}});
        stored_ = suite().dictionaryRepresentation();
    }
    void TearDown() override {
        if (!IsSkipped()) {  // nothing was changed
            fs::permissions(suiteFolder(), fs::perms::owner_all);
            fs::permissions(file(), fs::perms::owner_read | fs::perms::owner_write);
            EXPECT_EQ(suite().dictionaryRepresentation(), stored_);
        }
        CliTest::TearDown();
    }
    fs::path file() const { return suiteFolder() / "velmomac.group.sqlite"; }

private:
    PlistMap stored_;
};

TEST_F(ProtectedSuiteTest, EveryWriteToAWriteProtectedFileExits1) {
    fs::permissions(file(), fs::perms::owner_read);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"set", "settingMinutes", "50"},
                                               {"reset"},
                                               {"fav", "add", "stop", "S2"},
                                               {"fav", "remove", "stop", "S1"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome r = runProgram(VELMO_SETTINGS_BIN, args, true);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_THAT(r.err, HasSubstr(file().string()));
    }
}

// In a folder it may not write, the program cannot make the index its journal needs, so the
// whole file cannot be read: no command may show the defaults instead.
TEST_F(ProtectedSuiteTest, AStoreThatCannotBeReadShowsNoValue) {
    fs::permissions(suiteFolder(), fs::perms::owner_read | fs::perms::owner_exec);
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{"get", "settingMinutes"}, {"list"}, {"fav", "list", "stop"}}) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const Outcome r = runProgram(VELMO_SETTINGS_BIN, args, true);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_THAT(r.err, HasSubstr("velmo-settings: a beállítások nem olvashatók: " + file().string()));
    }
}

}  // namespace
}  // namespace velmo::test
