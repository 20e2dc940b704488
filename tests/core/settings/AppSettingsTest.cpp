// The store: typed reading and writing, refused writes, the start-up check and its safety.

#include "SettingsFixture.h"

#include <gmock/gmock.h>

#include <fstream>
#include <regex>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace velmo::test {
namespace {

using ::testing::HasSubstr;

const std::regex kUuidForm("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");

class AppSettingsTest : public SettingsFixture {};

TEST_F(AppSettingsTest, EmptySuiteGetsFirstRunValuesOfTheirOwnKinds) {
    AppSettings settings;
    const PlistMap stored = suite().dictionaryRepresentation();

    const PlistMap expected{
        {"settingRovavorir", false},        {"settingRadius", 300.0F},         {"settingTodayNum", int64_t{3}},
        {"userLastUsedScreen", int64_t{1}}, {"settingTodayStops", int64_t{1}}, {"settingFavTrip", int64_t{2}},
        {"settingFavStopRadius", 1500.0F},  {"settingMinutes", int64_t{30}},   {"useDevelopmentServer", int64_t{0}},
        {"settingFavSortMode", false},      {"configVersion", int64_t{144}},
    };
    for (const auto& [key, value] : expected) {
        ASSERT_TRUE(stored.count(key)) << key;
        EXPECT_EQ(stored.at(key), value) << key;
    }
    ASSERT_TRUE(stored.count("deviceUUID"));
    const std::string uuid = stored.at("deviceUUID").toString().value_or("");
    EXPECT_TRUE(std::regex_match(uuid, kUuidForm)) << uuid;
    // The list defaults are never written, and nothing else appears.
    EXPECT_EQ(stored.size(), expected.size() + 1);
}

TEST_F(AppSettingsTest, GetReadsByTheKeysType) {
    const AppSettings settings(true);
    // Absent keys read as the typed defaults; Any and unknown keys as nothing.
    EXPECT_EQ(settings.get("settingRovavorir"), PlistValue(false));
    EXPECT_EQ(settings.get("settingMinutes"), PlistValue(int64_t{0}));
    EXPECT_EQ(settings.get("settingRadius"), PlistValue(0.0F));
    EXPECT_EQ(settings.get("deviceUUID"), PlistValue(""));
    EXPECT_EQ(settings.get("settingFavTripList"), std::nullopt);
    EXPECT_EQ(settings.get("previousReply1"), std::nullopt);

    // Stored values of another kind are converted by the typed readers.
    suite().setObject("settingRadius", int64_t{400});
    suite().setObject("settingMinutes", "45");
    suite().setObject("deviceUUID", int64_t{12});
    EXPECT_EQ(settings.get("settingRadius"), PlistValue(400.0F));
    EXPECT_EQ(settings.get("settingMinutes"), PlistValue(int64_t{45}));
    EXPECT_EQ(settings.get("deviceUUID"), PlistValue(""));

    const PlistValue reply = PlistList{PlistMap{{"error", "NOLOCATION"}}};
    AppSettings(true).set("previousReply1", reply);
    EXPECT_EQ(settings.get("previousReply1"), reply);
}

TEST_F(AppSettingsTest, KeyTypes) {
    const AppSettings settings(true);
    const std::vector<std::pair<std::string, std::string>> cases{
        {"settingRovavorir", "Bool"},  {"settingRadius", "Float"}, {"settingTodayNum", "Integer"},
        {"settingFavTripList", "Any"}, {"deviceUUID", "UUID"},     {"useDevelopmentServer", "Integer"},
        {"configVersion", "None"},     {"previousReply1", "None"},
    };
    for (const auto& [key, type] : cases)
        EXPECT_EQ(settings.getKeyType(key), type) << key;
    EXPECT_EQ(settings.getValidConfigKeys().size(), 13U);
    EXPECT_EQ(settings.getValidConfigKeys().front(), "settingRovavorir");
    EXPECT_EQ(settings.getValidConfigKeys().back(), "settingFavSortMode");
}

TEST_F(AppSettingsTest, SetRefusesAValueOfTheWrongKindAndKeepsTheStoredOne) {
    AppSettings settings;
    const std::string uuid = *settings.get("deviceUUID")->toString();
    struct Case {
        std::string key;
        PlistValue value;
    };
    const std::vector<Case> cases{
        {"settingRadius", "abc"},
        {"settingRadius", int64_t{500}},
        {"settingRadius", 500.0},
        {"settingMinutes", 45.0F},
        {"settingMinutes", "45"},
        {"settingRovavorir", int64_t{1}},
        {"settingFavSortMode", PlistValue()},
        {"deviceUUID", int64_t{7}},
        {"deviceUUID", PlistValue()},
    };
    for (const Case& c : cases) {
        const std::optional<PlistValue> before = suite().objectForKey(c.key);
        ::testing::internal::CaptureStderr();
        settings.set(c.key, c.value);
        const std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(suite().objectForKey(c.key), before) << c.key;
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
        EXPECT_THAT(log, HasSubstr(c.key));
    }
    EXPECT_EQ(settings.get("deviceUUID"), PlistValue(uuid));
}

TEST_F(AppSettingsTest, SetStoresValuesOfTheRightKind) {
    AppSettings settings(true);
    settings.set("settingRadius", 750.0F);
    settings.set("settingMinutes", int64_t{45});
    settings.set("settingMinutes", 50);  // an int literal is an integer too
    settings.set("settingFavSortMode", true);
    settings.set("settingFavTripList", "anything goes");
    EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(750.0F));
    EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue(int64_t{50}));
    EXPECT_EQ(suite().objectForKey("settingFavSortMode"), PlistValue(true));
    EXPECT_EQ(settings.get("settingFavTripList"), PlistValue("anything goes"));

    // Removing an Any key or an outside key with null.
    settings.set("settingFavTripList", PlistValue());
    EXPECT_EQ(suite().objectForKey("settingFavTripList"), std::nullopt);
}

TEST_F(AppSettingsTest, UuidPlaceholderGeneratesAFreshUuidEachTime) {
    AppSettings settings(true);
    settings.set("deviceUUID", "UUID");
    const std::string first = *settings.get("deviceUUID")->toString();
    settings.set("deviceUUID", "UUID");
    const std::string second = *settings.get("deviceUUID")->toString();
    EXPECT_TRUE(std::regex_match(first, kUuidForm)) << first;
    EXPECT_TRUE(std::regex_match(second, kUuidForm)) << second;
    EXPECT_NE(first, second);

    settings.set("deviceUUID", "my-own-id");
    EXPECT_EQ(settings.get("deviceUUID"), PlistValue("my-own-id"));
}

TEST_F(AppSettingsTest, UpdateVersionStoresTheSchemaVersionOnly) {
    AppSettings settings(true);
    settings.updateVersion();
    EXPECT_EQ(suite().objectForKey("configVersion"), PlistValue(int64_t{144}));
    EXPECT_EQ(suite().dictionaryRepresentation().size(), 1U);
    EXPECT_FALSE(settings.isWatchSyncronized());
}

// --- Start-up check ---

struct CheckCase {
    const char* name;
    int64_t version;
    std::string key;
    PlistValue stored;
    std::optional<PlistValue> after;  // absent: a fresh UUID
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

class StartupCheckTest : public SettingsFixture, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(StartupCheckTest, RepairsOnlyWhenTheStoredVersionIsOlder) {
    const CheckCase& c = GetParam();
    suite().setInteger("configVersion", c.version);
    suite().setObject(c.key, c.stored);

    AppSettings settings;
    const std::optional<PlistValue> stored = suite().objectForKey(c.key);
    if (c.after) {
        EXPECT_EQ(stored, c.after);
    } else {
        ASSERT_TRUE(stored && stored->toString());
        EXPECT_TRUE(std::regex_match(*stored->toString(), kUuidForm));
    }
    EXPECT_GE(suite().integerForKey("configVersion"), 144);
}

const PlistValue kFavourites = PlistList{PlistMap{{"raw", "F01"}, {"display", "Örs vezér tere"}}};

INSTANTIATE_TEST_SUITE_P(
    Cases, StartupCheckTest,
    ::testing::Values(CheckCase{"RadiusOutsideResets", 143, "settingRadius", 350.0F, PlistValue(300.0F)},
                      CheckCase{"RadiusKeptAt144", 144, "settingRadius", 350.0F, PlistValue(350.0F)},
                      CheckCase{"ValidMinutesKept", 143, "settingMinutes", int64_t{45}, PlistValue(int64_t{45})},
                      CheckCase{"RovavorirTrueResets", 143, "settingRovavorir", true, PlistValue(false)},
                      CheckCase{"ServerTwoResets", 143, "useDevelopmentServer", int64_t{2}, PlistValue(int64_t{0})},
                      CheckCase{"ServerTwoKeptAt144", 144, "useDevelopmentServer", int64_t{2}, PlistValue(int64_t{2})},
                      CheckCase{"RadiusAsIntegerKeptAsFloat", 143, "settingRadius", int64_t{400}, PlistValue(400.0F)},
                      CheckCase{"FavouritesKept", 143, "settingFavStopList", kFavourites, kFavourites},
                      CheckCase{"NonListFavouritesKept", 143, "settingFavTripList", int64_t{5}, PlistValue(int64_t{5})},
                      CheckCase{"ShortUuidReplaced", 143, "deviceUUID", "1234567", std::nullopt},
                      CheckCase{"NonStringUuidReplaced", 143, "deviceUUID", int64_t{12345678}, std::nullopt},
                      CheckCase{"EightCharacterUuidKept", 143, "deviceUUID", "12345678", PlistValue("12345678")},
                      CheckCase{"ShortUuidKeptAt144", 144, "deviceUUID", "abc", PlistValue("abc")}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(AppSettingsTest, CheckRemovesKeysOutsideTheCatalogue) {
    suite().setInteger("configVersion", 143);
    suite().setObject("previousReply1", "old reply");
    AppSettings settings;
    EXPECT_EQ(suite().objectForKey("previousReply1"), std::nullopt);
}

TEST_F(AppSettingsTest, SkipCheckNeverChecks) {
    for (bool flag : {false, true}) {
        suite().setInteger("configVersion", 143);
        suite().setFloat("settingRadius", 350.0F);
        AppSettings settings(flag);
        EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(350.0F)) << flag;
        EXPECT_EQ(suite().integerForKey("configVersion"), 143) << flag;
    }
}

TEST_F(AppSettingsTest, AnUnusableSuiteReadsAsDefaults) {
    // The settings folder cannot be created below a regular file.
    const std::string blocker = folder_ + "/file";
    { std::ofstream(blocker) << "not a folder"; }
    setenv("XDG_CONFIG_HOME", blocker.c_str(), 1);

    ::testing::internal::CaptureStderr();
    AppSettings settings;
    settings.set("settingMinutes", int64_t{45});
    const std::optional<PlistValue> minutes = settings.get("settingMinutes");
    const std::optional<PlistValue> uuid = settings.get("deviceUUID");
    const std::string log = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(minutes, PlistValue(int64_t{0}));
    EXPECT_EQ(uuid, PlistValue(""));
    EXPECT_THAT(log, HasSubstr(blocker));
}

// A store whose check dies after writing back its first kept value.
class CrashingCheck : public AppSettings {
public:
    CrashingCheck() : AppSettings(true) {}

protected:
    void storeCheckedValue(UserDefaults& defaults, const std::string& key, const PlistValue& value) override {
        AppSettings::storeCheckedValue(defaults, key, value);
        throw std::runtime_error("killed in the middle of the check");
    }
};

TEST_F(AppSettingsTest, ACrashInTheMiddleOfTheCheckLeavesTheOldValues) {
    suite().setInteger("configVersion", 143);
    suite().setFloat("settingRadius", 350.0F);
    suite().setInteger("settingMinutes", 45);
    suite().setObject("settingFavStopList", kFavourites);
    suite().setObject("deviceUUID", "OLD-DEVICE-ID");
    const PlistMap before = suite().dictionaryRepresentation();

    CrashingCheck settings;
    ::testing::internal::CaptureStderr();
    try {
        settings.runStartupCheck();
    } catch (const std::runtime_error&) {
        // The crash itself; what matters is what the suite holds afterwards.
    }
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(suite().dictionaryRepresentation(), before);

    // The next start runs the whole check.
    AppSettings next;
    EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(300.0F));
    EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue(int64_t{45}));
    EXPECT_EQ(suite().objectForKey("deviceUUID"), PlistValue("OLD-DEVICE-ID"));
    EXPECT_EQ(suite().integerForKey("configVersion"), 144);
}

// Two programs starting at once on a fresh suite: one check, one UUID, nothing lost.
TEST_F(AppSettingsTest, TwoProcessesStartingTogetherAgreeOnOneUuid) {
    for (int round = 0; round < 5; ++round) {
        suite().removeAllObjects();
        suite().setInteger("settingMinutes", 45);

        int go[2];
        int results[2][2];
        ASSERT_EQ(pipe(go), 0);
        pid_t children[2];
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(pipe(results[i]), 0);
            children[i] = fork();
            ASSERT_GE(children[i], 0);
            if (children[i] == 0) {
                close(go[1]);
                char byte = 0;
                if (read(go[0], &byte, 1) != 0)
                    _exit(3);
                AppSettings settings;
                const std::string uuid = settings.get("deviceUUID")->toString().value_or("");
                const ssize_t written = write(results[i][1], uuid.data(), uuid.size());
                _exit(written == static_cast<ssize_t>(uuid.size()) ? 0 : 4);
            }
            close(results[i][1]);
        }
        close(go[0]);
        close(go[1]);  // both children start now

        std::string uuids[2];
        for (int i = 0; i < 2; ++i) {
            char buffer[64];
            ssize_t n = 0;
            while ((n = read(results[i][0], buffer, sizeof buffer)) > 0)
                uuids[i].append(buffer, static_cast<size_t>(n));
            close(results[i][0]);
            int status = 0;
            ASSERT_EQ(waitpid(children[i], &status, 0), children[i]);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        const std::string stored = suite().stringForKey("deviceUUID").value_or("");
        EXPECT_TRUE(std::regex_match(stored, kUuidForm)) << stored;
        EXPECT_EQ(uuids[0], stored) << "round " << round;
        EXPECT_EQ(uuids[1], stored) << "round " << round;
        EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue(int64_t{45}));
        EXPECT_EQ(suite().dictionaryRepresentation().size(), 12U);
    }
}

// A program starting while another one is in the middle of the check must not run it a
// second time after waiting (which would drop keys written since).
TEST_F(AppSettingsTest, ACheckFinishedWhileWaitingIsNotRunAgain) {
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(ready[0]);
        UserDefaults defaults(AppSettings::kAppGroup);
        const bool committed = defaults.transaction([&] {
            defaults.setInteger("configVersion", 144);
            defaults.setObject("previousReply1", "written by the other program");
            const char byte = 1;
            if (write(ready[1], &byte, 1) != 1)
                _exit(3);
            usleep(300 * 1000);  // the parent reads the old version meanwhile
        });
        _exit(committed ? 0 : 4);
    }
    close(ready[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);

    AppSettings settings;

    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(suite().objectForKey("previousReply1"), PlistValue("written by the other program"));
    EXPECT_EQ(suite().integerForKey("configVersion"), 144);
}

}  // namespace
}  // namespace velmo::test
