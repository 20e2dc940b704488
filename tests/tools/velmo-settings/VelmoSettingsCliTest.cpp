// velmo-settings, run as a program: output, exit codes, and that bad input changes nothing.

#include "tests/core/settings/SettingsFixture.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::test {
namespace {

using ::testing::HasSubstr;

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class CliTest : public SettingsFixture {
protected:
    Outcome run(const std::vector<std::string>& args) const {
        const std::string outPath = folder_ + "/stdout";
        const std::string errPath = folder_ + "/stderr";
        const pid_t child = fork();
        if (child == 0) {
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
                _exit(127);
            std::vector<char*> argv{const_cast<char*>(VELMO_SETTINGS_BIN)};
            for (const std::string& arg : args)
                argv.push_back(const_cast<char*>(arg.c_str()));
            argv.push_back(nullptr);
            execv(VELMO_SETTINGS_BIN, argv.data());
            _exit(127);
        }
        Outcome result;
        int status = 0;
        if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status))
            result.exitCode = WEXITSTATUS(status);
        result.out = slurp(outPath);
        result.err = slurp(errPath);
        return result;
    }

    static std::string slurp(const std::string& path) {
        std::ifstream file(path);
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    static int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }
};

TEST_F(CliTest, ListOnAnEmptySuiteShowsTheFirstRunValues) {
    const Outcome r = run({"list"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.err, "");
    const std::regex expected(
        "configVersion\tint\t144\n"
        "deviceUUID\tstring\t\"[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}\"\n"
        "settingFavSortMode\tbool\tfalse\n"
        "settingFavStopRadius\tfloat\t1500.0\n"
        "settingFavTrip\tint\t2\n"
        "settingMinutes\tint\t30\n"
        "settingRadius\tfloat\t300.0\n"
        "settingRovavorir\tbool\tfalse\n"
        "settingTodayNum\tint\t3\n"
        "settingTodayStops\tint\t1\n"
        "useDevelopmentServer\tint\t0\n"
        "userLastUsedScreen\tint\t1\n");
    EXPECT_TRUE(std::regex_match(r.out, expected)) << r.out;
}

TEST_F(CliTest, ListAsJson) {
    const Outcome r = run({"list", "--json"});
    ASSERT_EQ(r.exitCode, 0);
    const nlohmann::json json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json.size(), 12U);
    EXPECT_EQ(json.at("configVersion"), (nlohmann::json{{"type", "int"}, {"value", 144}}));
    EXPECT_EQ(json.at("settingRadius"), (nlohmann::json{{"type", "float"}, {"value", 300.0}}));
    EXPECT_EQ(json.at("settingFavSortMode").at("value"), false);
}

TEST_F(CliTest, BadInputIsRefusedWithExit2AndChangesNothing) {
    // A due start-up check would change the suite too: it must not run either.
    suite().setInteger("configVersion", 143);
    suite().setFloat("settingRadius", 350.0F);
    suite().setObject("previousReply1", "kept");
    const PlistMap before = suite().dictionaryRepresentation();

    struct Case {
        std::vector<std::string> args;
        std::string message;  // part of the one-line error
    };
    const std::vector<Case> cases{
        {{"set", "settingMinutes", "abc"}, "érvénytelen érték a(z) settingMinutes kulcshoz: abc"},
        {{"set", "settingRadius", "0x10"}, "settingRadius kulcshoz: 0x10"},
        {{"set", "settingRadius", "nan"}, "settingRadius kulcshoz: nan"},
        {{"set", "settingRovavorir", "yes"}, "settingRovavorir kulcshoz: yes"},
        {{"set", "settingTodayNum", "99999999999999999999"}, "settingTodayNum kulcshoz"},
        {{"set", "foo", "bar"}, "a(z) foo kulcs nincs a katalógusban, a(z) bar"},
        {{"set", "--type", "json", "foo", "{\"a\":"}, "érvénytelen érték a(z) foo kulcshoz"},
        {{"set", "--type", "widget", "foo", "1"}, "ismeretlen típus: widget"},
        {{"set", "--type", "string", "settingRadius", "x"}, "csak --raw mellett"},
        {{"set", "settingFavStopList", "5"}, "settingFavStopList kulcshoz: 5"},
        {{"set", "settingFavStopList", "[{\"raw\":1}]"}, "settingFavStopList kulcshoz"},
        {{"set", "settingMinutes"}, "hiányzó argumentum"},
        {{"set", "a", "b", "c"}, "fölösleges argumentum: c"},
        {{"get"}, "hiányzó argumentum"},
        {{"frobnicate"}, "ismeretlen parancs: frobnicate"},
        {{}, "hiányzó parancs"},
        {{"list", "--bogus"}, "ismeretlen kapcsoló: --bogus"},
        {{"reset", "--raw"}, "nem használható"},
        {{"fav", "add", "bus", "X"}, "ismeretlen lista: bus"},
        {{"fav", "add", "stop"}, "hiányzó argumentum"},
        {{"fav", "drop", "stop", "X"}, "ismeretlen fav parancs: drop"},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, 2) << what;
        EXPECT_EQ(r.out, "") << what;
        EXPECT_EQ(lines(r.err), 1) << what << r.err;
        EXPECT_THAT(r.err, HasSubstr("velmo-settings: ")) << what;
        EXPECT_THAT(r.err, HasSubstr(c.message)) << what;
        EXPECT_EQ(suite().dictionaryRepresentation(), before) << what;
    }
}

TEST_F(CliTest, AValueOutsideTheAllowedListIsRefusedWithTheChoices) {
    run({"list"});
    const Outcome r = run({"set", "settingRadius", "350"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_THAT(r.err, HasSubstr("a(z) 350 érték nem megengedett a(z) settingRadius kulcshoz"));
    EXPECT_THAT(r.err, HasSubstr("  100.0\t100 m\n"));
    EXPECT_THAT(r.err, HasSubstr("  1000.0\t1 km\n"));
    EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(300.0F));

    const Outcome server = run({"set", "useDevelopmentServer", "2"});
    EXPECT_EQ(server.exitCode, 2);
    EXPECT_THAT(server.err, HasSubstr("  0\n  1\n"));

    // --raw stores it anyway, of the key's own kind.
    EXPECT_EQ(run({"set", "--raw", "settingRadius", "350"}).exitCode, 0);
    EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(350.0F));
    const Outcome get = run({"get", "settingRadius"});
    EXPECT_EQ(get.out, "350.0\n");
    EXPECT_THAT(get.err, HasSubstr("nem szerepel"));

    // --raw with --type stores another kind, as a damaged store would hold it.
    EXPECT_EQ(run({"set", "--raw", "--type", "string", "settingMinutes", "sok"}).exitCode, 0);
    EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue("sok"));
}

TEST_F(CliTest, SetParsesTheValueByTheKeysType) {
    struct Case {
        std::vector<std::string> args;
        std::string key;
        PlistValue stored;
    };
    const std::vector<Case> cases{
        {{"set", "settingRadius", "750"}, "settingRadius", 750.0F},
        {{"set", "settingFavStopRadius", "-1"}, "settingFavStopRadius", -1.0F},
        {{"set", "settingMinutes", "45"}, "settingMinutes", int64_t{45}},
        {{"set", "settingFavSortMode", "1"}, "settingFavSortMode", true},
        {{"set", "settingFavSortMode", "false"}, "settingFavSortMode", false},
        {{"set", "deviceUUID", "my-device"}, "deviceUUID", "my-device"},
        {{"set", "settingFavTripList", "[{\"raw\":\"T1\",\"display\":\"Egyes\"}]"},
         "settingFavTripList",
         PlistList{PlistMap{{"raw", "T1"}, {"display", "Egyes"}}}},
        {{"set", "--type", "json", "previousReply1", "[{\"error\":\"NOLOCATION\"}]"},
         "previousReply1",
         PlistList{PlistMap{{"error", "NOLOCATION"}}}},
        {{"set", "--type=double", "ratio", "2.5"}, "ratio", 2.5},
        {{"set", "--type", "float", "ratio", "2.5"}, "ratio", 2.5F},
        {{"set", "--type", "bool", "flag", "0"}, "flag", false},
        {{"set", "--type", "string", "name", "-1"}, "name", "-1"},
        {{"set", "--type", "int", "configVersion", "143"}, "configVersion", int64_t{143}},
    };
    for (const Case& c : cases) {
        const Outcome r = run(c.args);
        const std::string what = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.exitCode, 0) << what << r.err;
        EXPECT_EQ(r.err, "") << what;
        EXPECT_EQ(suite().objectForKey(c.key), c.stored) << what;
    }

    // The placeholder asks for a fresh identifier.
    ASSERT_EQ(run({"set", "deviceUUID", "UUID"}).exitCode, 0);
    const std::string uuid = suite().stringForKey("deviceUUID").value_or("");
    EXPECT_TRUE(std::regex_match(uuid, std::regex("^[0-9A-F-]{36}$"))) << uuid;
}

TEST_F(CliTest, GetShowsTheValueAndItsLabel) {
    EXPECT_EQ(run({"get", "settingMinutes"}).out, "30\tfél órában\n");
    EXPECT_EQ(run({"get", "settingFavTrip"}).out, "2\tirányonként egy-egy\n");
    EXPECT_EQ(run({"get", "useDevelopmentServer"}).out, "0\n");
    EXPECT_EQ(run({"get", "settingFavStopList"}).out, "null\n");
    EXPECT_EQ(run({"get", "nonsense"}).out, "null\n");
}

TEST_F(CliTest, FavouritesAddListRemove) {
    EXPECT_EQ(run({"fav", "add", "stop", "S2", "béke tér"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "stop", "S1", "Astoria"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "stop", "S3"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "add", "trip", "T1", "Egyes"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "list", "stop"}).out, "S1\tAstoria\nS2\tbéke tér\nS3\tS3\n");

    const Outcome again = run({"fav", "add", "stop", "S1", "Other"});
    EXPECT_EQ(again.exitCode, 0);
    EXPECT_THAT(again.err, HasSubstr("S1"));

    const Outcome missing = run({"fav", "remove", "stop", "S9"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_THAT(missing.err, HasSubstr("S9"));

    EXPECT_EQ(run({"fav", "remove", "stop", "S1"}).exitCode, 0);
    EXPECT_EQ(run({"fav", "list", "stop"}).out, "S2\tbéke tér\nS3\tS3\n");
    EXPECT_EQ(run({"fav", "list", "trip"}).out, "T1\tEgyes\n");
}

TEST_F(CliTest, ResetEmptiesTheSuite) {
    run({"fav", "add", "stop", "S1", "Astoria"});
    ASSERT_FALSE(suite().dictionaryRepresentation().empty());
    EXPECT_EQ(run({"reset"}).exitCode, 0);
    EXPECT_TRUE(suite().dictionaryRepresentation().empty());
}

TEST_F(CliTest, AWriteToAnUnusableSuiteFails) {
    const std::string blocker = folder_ + "/file";
    { std::ofstream(blocker) << "not a folder"; }
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);
    const Outcome r = run({"set", "settingMinutes", "45"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_THAT(r.err, HasSubstr("velmo-settings: a beállítások nem írhatók"));
    EXPECT_EQ(run({"fav", "add", "stop", "S1"}).exitCode, 1);
}

TEST_F(CliTest, HelpListsTheCommandsAndOptions) {
    const Outcome r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word :
         {"Használat: velmo-settings", "list [--json]", "get KULCS", "set [--raw] [--type TÍPUS] KULCS ÉRTÉK", "reset",
          "fav add stop|trip RAW [NÉV]", "fav remove", "-h, --help"})
        EXPECT_THAT(r.out, HasSubstr(word));
    EXPECT_EQ(run({"-h"}).out, r.out);
}

}  // namespace
}  // namespace velmo::test
