// Settings shown as lists: the stored value's place among the allowed values, table rows,
// setIndex, and the favourite lists sorted with the user's locale collation (LC_ALL).

#include "SettingsFixture.h"
#include "tests/support/Program.h"

#include <gmock/gmock.h>

#include <memory>

namespace velmo::test {
namespace {

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
