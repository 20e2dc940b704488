// The store: typed reading and writing, refused writes, the start-up check and its safety against crashes and a
// second program; settings shown as lists, and the favourite lists sorted with the user's collation (LC_ALL).

#include "SettingsFixture.h"
#include "tests/support/Program.h"

#include <gmock/gmock.h>

#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

namespace velmo::test {
namespace {

const std::regex kUuidForm("^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$");
const PlistValue kFavourites = PlistList{PlistMap{{"raw", "F01"}, {"display", "Örs vezér tere"}}};

bool isUuid(const std::optional<std::string>& text) { return text && std::regex_match(*text, kUuidForm); }

class AppSettingsTest : public SettingsFixture {};

TEST_F(AppSettingsTest, AFreshSuiteHoldsAllowedDefaultsAndIsCheckedOnlyOnce) {
    AppSettings settings;
    PlistMap expected{{"configVersion", AppSettings::kConfigVersion}};
    for (const std::string& key : settings.getValidConfigKeys()) {
        const std::string type = settings.getKeyType(key);
        if (type == "UUID") {
            EXPECT_TRUE(isUuid(suite().stringForKey(key)));
            expected[key] = *suite().objectForKey(key);
        } else if (type != "Any") {  // lists start absent
            EXPECT_GE(settings.getSelectedIndex(key), 0) << key;
            expected[key] = *settings.getDefaultValue(key);
        }
    }
    EXPECT_EQ(suite().dictionaryRepresentation(), expected);  // kinds included
    // A second start finds the check done: nothing is repaired, removed or regenerated.
    suite().setFloat("settingRadius", 350.0F);
    suite().setObject("previousReply1", "kept");
    AppSettings again;
    expected["settingRadius"] = 350.0F;
    expected["previousReply1"] = "kept";
    EXPECT_EQ(suite().dictionaryRepresentation(), expected);
}

// Absent keys read as their type's default (lists and outside keys as nothing); a stored
// value of another kind is converted by the key's typed reader.
TEST_F(AppSettingsTest, GetReadsByTheKeysType) {
    const AppSettings settings(true);
    suite().setObject("settingRadius", int64_t{400});
    suite().setObject("settingMinutes", "45");
    suite().setObject("deviceUUID", int64_t{12});
    using Read = std::pair<std::string, std::optional<PlistValue>>;
    for (const auto& [key, value] :
         {Read{"settingRovavorir", false}, Read{"settingTodayNum", int64_t{0}}, Read{"settingFavStopRadius", 0.0F},
          Read{"settingFavTripList", std::nullopt}, Read{"previousReply1", std::nullopt}, Read{"settingRadius", 400.0F},
          Read{"settingMinutes", int64_t{45}}, Read{"deviceUUID", ""}})
        EXPECT_EQ(settings.get(key), value) << key;
}

TEST_F(AppSettingsTest, SetStoresOnlyValuesOfTheKeysKindAndTheUuidPlaceholderAFreshUuid) {
    AppSettings settings;
    // clang-format off
    const std::vector<std::tuple<std::string, PlistValue, bool>> cases{
        {"settingRadius", 750.0F, true}, {"settingRadius", int64_t{500}, false}, {"settingRadius", 500.0, false},
        {"settingRadius", "abc", false}, {"settingMinutes", 50, true}, {"settingMinutes", 45.0F, false},
        {"settingMinutes", "45", false}, {"settingRovavorir", true, true}, {"settingRovavorir", int64_t{1}, false},
        {"settingFavSortMode", PlistValue(), false}, {"deviceUUID", "my-own-id", true},
        {"deviceUUID", int64_t{7}, false}, {"deviceUUID", PlistValue(), false},
        {"settingFavTripList", "anything goes", true}, {"previousReply1", kFavourites, true},
        {"previousReply1", PlistValue(), true}, {"settingFavTripList", PlistValue(), true}};
    // clang-format on
    for (const auto& [key, value, stored] : cases) {
        SCOPED_TRACE(key + " " + ::testing::PrintToString(value));
        const PlistValue before = suite().objectForKey(key).value_or(PlistValue());
        ::testing::internal::CaptureStderr();
        settings.set(key, value);  // null removes an Any key or a key outside the catalogue
        const std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(suite().objectForKey(key).value_or(PlistValue()), stored ? value : before);
        EXPECT_EQ(log, stored ? "" : log.substr(0, log.find('\n') + 1)) << "one line when refused";
        EXPECT_EQ(log.find(key) != std::string::npos, !stored) << log;
    }
    // The placeholder "UUID" stores a fresh UUID each time.
    settings.set("deviceUUID", "UUID");
    const std::optional<std::string> first = suite().stringForKey("deviceUUID");
    settings.set("deviceUUID", "UUID");
    EXPECT_TRUE(isUuid(first) && isUuid(suite().stringForKey("deviceUUID")) &&
                first != suite().stringForKey("deviceUUID"));
}

// A suite of the version before: each value repaired, kept or removed by the start-up check.
TEST_F(AppSettingsTest, StartupCheckRepairsAnOlderSuite) {
    const PlistValue freshUuid = "<a fresh UUID>";
    // clang-format off
    const std::tuple<std::string, PlistValue, PlistValue> cases[] = {  // key, stored, after (null: removed)
        {"settingRadius", 350.0F, 300.0F}, {"settingRadius", int64_t{400}, 400.0F},
        {"settingMinutes", int64_t{45}, int64_t{45}}, {"settingRovavorir", true, false},
        {"useDevelopmentServer", int64_t{2}, int64_t{0}}, {"settingFavStopList", kFavourites, kFavourites},
        {"settingFavTripList", int64_t{5}, int64_t{5}}, {"deviceUUID", "1234567", freshUuid},
        {"deviceUUID", "Ő2345678", "Ő2345678"}, {"deviceUUID", "Ő234567", freshUuid},  // characters, not bytes
        {"previousReply1", "old reply", PlistValue()}};
    // clang-format on
    for (const auto& [key, stored, after] : cases) {
        SCOPED_TRACE(key + " " + ::testing::PrintToString(stored));
        suite().removeAllObjects();
        suite().setInteger("configVersion", 143);
        suite().setObject(key, stored);
        AppSettings settings;
        if (after == freshUuid)
            EXPECT_TRUE(isUuid(suite().stringForKey(key)));
        else
            EXPECT_EQ(suite().objectForKey(key).value_or(PlistValue()), after);
        EXPECT_EQ(suite().integerForKey("configVersion"), AppSettings::kConfigVersion);
    }
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

TEST_F(AppSettingsTest, ASkippedCheckOrACrashInTheMiddleOfItLeavesTheOldValues) {
    suite().setInteger("configVersion", 143);
    suite().setFloat("settingRadius", 350.0F);
    suite().setInteger("settingMinutes", 45);
    suite().setObject("settingFavStopList", kFavourites);
    suite().setObject("deviceUUID", "OLD-DEVICE-ID");
    const PlistMap before = suite().dictionaryRepresentation();

    AppSettings skipping(false);  // never checks, whatever the flag says
    CrashingCheck crashing;
    EXPECT_THROW(crashing.runStartupCheck(), std::runtime_error);
    EXPECT_EQ(suite().dictionaryRepresentation(), before);

    AppSettings next;  // the next start runs the whole check
    EXPECT_EQ(suite().objectForKey("settingRadius"), PlistValue(300.0F));
    EXPECT_EQ(suite().objectForKey("deviceUUID"), PlistValue("OLD-DEVICE-ID"));
    EXPECT_EQ(suite().integerForKey("configVersion"), AppSettings::kConfigVersion);
}

// A program starting while another one is in the middle of the check must not run it a
// second time after waiting, which would drop keys written since.
TEST_F(AppSettingsTest, ACheckFinishedWhileWaitingIsNotRunAgain) {
    // This program has used the suite before, so opening it again waits for nothing: the
    // wait comes at the start of the check's own transaction.
    suite().setInteger("settingMinutes", 45);
    Gate inside;
    ForkedChild other([&inside] {
        UserDefaults defaults(AppSettings::kAppGroup);
        const bool committed = defaults.transaction([&] {
            defaults.setInteger("configVersion", AppSettings::kConfigVersion);
            defaults.setObject("previousReply1", "written by the other program");
            inside.open();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));  // we read the old version meanwhile
        });
        return committed ? 0 : 1;
    });
    ASSERT_TRUE(inside.wait());
    AppSettings settings;
    ASSERT_EQ(other.wait(), 0);
    EXPECT_EQ(suite().objectForKey("previousReply1"), PlistValue("written by the other program"));
}

using Entries = std::vector<std::pair<std::string, std::string>>;
const char* const kStops = "settingFavStopList";

class ListsTest : public SettingsFixture {
protected:
    // The stored favourite list as (raw, display) pairs; "-" for a missing display.
    static Entries entries(const std::string& key) {
        Entries result;
        const std::optional<PlistValue> stored = suite().objectForKey(key);
        for (const PlistValue& entry : stored && stored->ifList() ? *stored->ifList() : PlistList{}) {
            const PlistMap& map = *entry.ifMap();
            result.emplace_back(map.at("raw").toString().value_or("?"),
                                map.count("display") ? *map.at("display").toString() : "-");
        }
        return result;
    }
};

// The preferences page shows choices through these (tested with the page); here the edges:
// values outside the allowed list, keys without one, and indexes out of range.
TEST_F(ListsTest, StoredValueSelectsItsPlaceLabelAndRow) {
    AppSettings settings;
    // clang-format off
    const std::vector<std::tuple<std::string, PlistValue, int64_t>> cases{
        {"settingFavTrip", int64_t{4}, 2}, {"settingMinutes", int64_t{31}, -1}, {"settingRadius", 350.0F, -1},
        {"useDevelopmentServer", int64_t{1}, 1}, {"deviceUUID", "x", -1}, {"previousReply1", int64_t{1}, -1}};
    // clang-format on
    for (const auto& [key, value, index] : cases) {
        SCOPED_TRACE(key);
        settings.set(key, value);
        EXPECT_EQ(settings.getSelectedIndex(key), index);
        const auto labels = settings.getValidValuesText(key).value_or(std::vector<std::string>{});
        EXPECT_EQ(settings.getVisible(key), index >= 0 && !labels.empty() ? labels.at(index) : "");
        const auto rows = settings.getSettingsForTableView(key);
        EXPECT_EQ(rows.size(), labels.size());  // rows only for labelled values
        for (std::size_t i = 0; i < rows.size(); ++i)
            EXPECT_EQ(rows[i].at("selected"), PlistValue(static_cast<int64_t>(i) == index));
    }
    // A favourite list gives one row per entry, a damaged one keeping its place.
    settings.set("settingFavTripList", PlistList{PlistMap{{"raw", "T1"}, {"display", "Egyes"}}, PlistMap{{"raw", "T2"}},
                                                 PlistMap{{"display", "Hármas"}}});
    EXPECT_EQ(settings.getSettingsForTableView("settingFavTripList"),
              (std::vector<PlistMap>{{{"text", "Egyes"}, {"value", "T1"}}, {{"value", "T2"}}, {{"text", "Hármas"}}}));

    const PlistMap before = suite().dictionaryRepresentation();
    const auto size = static_cast<int64_t>(settings.getValidValues("settingMinutes")->size());
    for (const auto& [key, index] : std::vector<std::pair<std::string, int64_t>>{
             {"settingMinutes", size}, {"settingMinutes", -1}, {"deviceUUID", 0}, {"nonsense", 0}}) {
        ::testing::internal::CaptureStderr();
        settings.setIndex(key, index);
        EXPECT_THAT(::testing::internal::GetCapturedStderr(), ::testing::HasSubstr(key));
    }
    EXPECT_EQ(suite().dictionaryRepresentation(), before);
}

TEST_F(ListsTest, FavouritesSortByDisplayIgnoringCaseAndKeepTheirOrder) {
    AppSettings settings(true);
    for (const auto& [raw, display] :
         Entries{{"1", "b"}, {"2", "A"}, {"3", "c"}, {"4", "Alma"}, {"5", "alma"}, {"6", "ALMA"}, {"1", "renamed?"}})
        settings.setStringList(kStops, raw, display);
    // Equal texts keep the order in which they were added; a known raw is neither added nor renamed.
    EXPECT_EQ(entries(kStops),
              (Entries{{"2", "A"}, {"4", "Alma"}, {"5", "alma"}, {"6", "ALMA"}, {"1", "b"}, {"3", "c"}}));
    EXPECT_EQ(settings.getStringListIndex(kStops, "1"), 4);
    settings.delStringListByIndex(kStops, 0);
    settings.delStringList(kStops, "6");
    settings.delStringList(kStops, "missing");
    settings.delStringListByIndex(kStops, 4);  // out of range
    settings.delStringListByIndex(kStops, -1);
    EXPECT_EQ(entries(kStops), (Entries{{"4", "Alma"}, {"5", "alma"}, {"1", "b"}, {"3", "c"}}));
}

TEST_F(ListsTest, DamagedFavouritesAreSkippedAndANonListIsReplaced) {
    AppSettings settings(true);
    settings.set(kStops, PlistList{PlistMap{{"raw", int64_t{7}}, {"display", "Hetes"}}, PlistMap{{"raw", "S3"}}});
    EXPECT_EQ(settings.getStringListIndex(kStops, "7"), -1);
    settings.setStringList(kStops, "S1", "Astoria");  // no display sorts as an empty text
    EXPECT_EQ(entries(kStops), (Entries{{"S3", "-"}, {"S1", "Astoria"}, {"?", "Hetes"}}));
    settings.set(kStops, int64_t{42});
    settings.setStringList(kStops, "S1", "Astoria");
    EXPECT_EQ(entries(kStops), (Entries{{"S1", "Astoria"}}));
}

// Four programs adding favourites at the same time, each change on a connection of its own (as the menus of both
// programs and velmo-settings make them): every one is kept. It is the store's test of concurrent writers too.
TEST_F(ListsTest, FavouritesAddedByFourProgramsAtOnceAreAllKept) {
    constexpr int kWriters = 4;
    constexpr int kAdds = 100;
    Gate start;
    std::vector<std::unique_ptr<ForkedChild>> writers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(std::make_unique<ForkedChild>([&start, w] {
            start.wait();
            AppSettings settings(true);
            bool allAdded = true;
            for (int i = 0; i < kAdds; ++i) {
                const std::string raw = std::to_string(w) + "-" + std::to_string(i);
                allAdded = settings.setStringList(kStops, raw, raw) == AppSettings::ListChange::Changed && allAdded;
            }
            return allAdded ? 0 : 1;
        }));
    }
    start.open();
    for (const auto& writer : writers)
        EXPECT_EQ(writer->wait(), 0);
    EXPECT_EQ(entries(kStops).size(), static_cast<size_t>(kWriters * kAdds));
}

TEST_F(ListsTest, SortFollowsTheUsersLocale) {
    // Hungarian has "cs" as a letter of its own after "c"; the root order does not.
    for (const auto& [locale, expected] : std::vector<std::pair<std::string, Entries>>{
             {"hu_HU.UTF-8", {{"2", "cukor"}, {"1", "Csillag"}}}, {"C.UTF-8", {{"1", "Csillag"}, {"2", "cukor"}}}}) {
        const ScopedEnv lcAll("LC_ALL", locale);
        suite().removeAllObjects();
        AppSettings settings(true);
        settings.setStringList(kStops, "1", "Csillag");
        settings.setStringList(kStops, "2", "cukor");
        EXPECT_EQ(entries(kStops), expected) << locale;
    }
}

}  // namespace
}  // namespace velmo::test
