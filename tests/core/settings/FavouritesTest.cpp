// Favourite lists: lookup, sorted insertion with the locale collation, removal.

#include "SettingsFixture.h"

#include "core/settings/Collation.h"

namespace velmo::test {
namespace {

const char* const kStops = "settingFavStopList";

// Counts writes, to tell "unchanged" from "rewritten with the same content".
class CountingSettings : public AppSettings {
public:
    CountingSettings() : AppSettings(true) {}
    void set(const std::string& key, const PlistValue& value) override {
        ++writes;
        AppSettings::set(key, value);
    }
    int writes = 0;
};

class FavouritesTest : public SettingsFixture {
protected:
    // The stored list as (raw, display) pairs.
    static std::vector<std::pair<std::string, std::string>> entries(const std::string& key) {
        std::vector<std::pair<std::string, std::string>> result;
        const std::optional<PlistValue> stored = AppSettings(true).get(key);
        if (!stored || stored->ifList() == nullptr)
            return result;
        for (const PlistValue& entry : *stored->ifList()) {
            const PlistMap& map = *entry.ifMap();
            result.emplace_back(map.at("raw").toString().value_or("?"),
                                map.count("display") ? map.at("display").toString().value_or("?") : "-");
        }
        return result;
    }
    using Entries = std::vector<std::pair<std::string, std::string>>;
};

TEST_F(FavouritesTest, OneEntryOnAnEmptyStore) {
    AppSettings settings(true);
    settings.setStringList(kStops, "S1", "Deák tér");
    EXPECT_EQ(entries(kStops), (Entries{{"S1", "Deák tér"}}));
    EXPECT_TRUE(settings.getStringList(kStops, "S1"));
    EXPECT_EQ(settings.getStringListIndex(kStops, "S1"), 0);
    EXPECT_FALSE(settings.getStringList(kStops, "S2"));
    EXPECT_EQ(settings.getStringListIndex(kStops, "S2"), -1);
    EXPECT_EQ(settings.getStringListIndex("settingFavTripList", "S1"), -1);
}

TEST_F(FavouritesTest, SortedByDisplayIgnoringCaseAndStable) {
    AppSettings settings(true);
    settings.setStringList(kStops, "1", "b");
    settings.setStringList(kStops, "2", "A");
    settings.setStringList(kStops, "3", "c");
    EXPECT_EQ(entries(kStops), (Entries{{"2", "A"}, {"1", "b"}, {"3", "c"}}));

    // Texts equal but for case keep the order in which they were added, whichever it is.
    settings.setStringList(kStops, "4", "Alma");
    settings.setStringList(kStops, "5", "alma");
    settings.setStringList(kStops, "6", "ALMA");
    EXPECT_EQ(entries(kStops),
              (Entries{{"2", "A"}, {"4", "Alma"}, {"5", "alma"}, {"6", "ALMA"}, {"1", "b"}, {"3", "c"}}));
}

TEST_F(FavouritesTest, ExistingRawIsNeitherDuplicatedNorRenamed) {
    CountingSettings settings;
    settings.setStringList(kStops, "S1", "Deák tér");
    settings.setStringList(kStops, "S1", "Astoria");
    EXPECT_EQ(entries(kStops), (Entries{{"S1", "Deák tér"}}));
    EXPECT_EQ(settings.writes, 1);
}

TEST_F(FavouritesTest, RemovalKeepsTheOrderOfTheRest) {
    CountingSettings settings;
    settings.setStringList(kStops, "a", "Alfa");
    settings.setStringList(kStops, "b", "Béta");
    settings.setStringList(kStops, "c", "Gamma");
    settings.writes = 0;

    settings.delStringList(kStops, "missing");
    EXPECT_EQ(settings.writes, 0);

    settings.delStringListByIndex(kStops, 0);
    EXPECT_EQ(entries(kStops), (Entries{{"b", "Béta"}, {"c", "Gamma"}}));
    settings.delStringList(kStops, "c");
    EXPECT_EQ(entries(kStops), (Entries{{"b", "Béta"}}));
    EXPECT_EQ(settings.writes, 2);

    // Out of range, negative or on a missing list: unchanged and not rewritten.
    settings.delStringListByIndex(kStops, 1);
    settings.delStringListByIndex(kStops, -1);
    settings.delStringListByIndex("settingFavTripList", 0);
    EXPECT_EQ(entries(kStops), (Entries{{"b", "Béta"}}));
    EXPECT_EQ(settings.writes, 2);
}

TEST_F(FavouritesTest, ANumberUnderTheKeyCountsAsNoList) {
    AppSettings settings(true);
    settings.set(kStops, int64_t{42});
    EXPECT_EQ(settings.getStringListIndex(kStops, "42"), -1);
    settings.delStringListByIndex(kStops, 0);
    EXPECT_EQ(settings.get(kStops), PlistValue(int64_t{42}));
    settings.setStringList(kStops, "S1", "Deák tér");
    EXPECT_EQ(entries(kStops), (Entries{{"S1", "Deák tér"}}));
}

TEST_F(FavouritesTest, DamagedEntriesAreSkippedWhenSearchingAndSortFirst) {
    AppSettings settings(true);
    settings.set(kStops, PlistList{PlistMap{{"raw", "S2"}, {"display", "Zugló"}},
                                   PlistMap{{"raw", int64_t{7}}, {"display", "Hetes"}}, PlistMap{{"raw", "S3"}}});
    EXPECT_EQ(settings.getStringListIndex(kStops, "7"), -1);
    EXPECT_EQ(settings.getStringListIndex(kStops, "S3"), 2);

    settings.setStringList(kStops, "S1", "Astoria");
    // The entry without a display sorts as an empty text; nothing is dropped.
    const PlistList list = *settings.get(kStops)->ifList();
    ASSERT_EQ(list.size(), 4U);
    EXPECT_EQ(list[0].ifMap()->at("raw"), PlistValue("S3"));
    EXPECT_EQ(list[1].ifMap()->at("raw"), PlistValue("S1"));
    EXPECT_EQ(list[2].ifMap()->at("raw"), PlistValue(int64_t{7}));
    EXPECT_EQ(list[3].ifMap()->at("raw"), PlistValue("S2"));
}

TEST_F(FavouritesTest, SortFollowsTheUsersLocale) {
    // Hungarian has "cs" as a letter of its own after "c"; the root order does not.
    setenv("LC_ALL", "hu_HU.UTF-8", 1);
    {
        AppSettings settings(true);
        settings.setStringList(kStops, "1", "Csillag");
        settings.setStringList(kStops, "2", "cukor");
        EXPECT_EQ(entries(kStops), (Entries{{"2", "cukor"}, {"1", "Csillag"}}));
    }
    setenv("LC_ALL", "C.UTF-8", 1);
    AppSettings settings(true);
    settings.setStringList("settingFavTripList", "1", "Csillag");
    settings.setStringList("settingFavTripList", "2", "cukor");
    EXPECT_EQ(entries("settingFavTripList"), (Entries{{"1", "Csillag"}, {"2", "cukor"}}));
}

TEST(CollationTest, LocaleFromTheEnvironment) {
    const std::vector<std::pair<const char*, const char*>> cases{
        {"hu_HU.UTF-8", "hu_HU"}, {"de_DE@euro", "de_DE"}, {"C.UTF-8", ""}, {"POSIX", ""}};
    for (const auto& [value, locale] : cases) {
        setenv("LC_ALL", value, 1);
        EXPECT_EQ(collationLocaleFromEnvironment(), locale) << value;
    }
    setenv("LC_ALL", "C.UTF-8", 1);

    const LocaleCollator root("");
    EXPECT_EQ(root.compare("alma", "ALMA"), 0);
    EXPECT_LT(root.compare("alma", "álma"), 0);  // accents still count
    EXPECT_LT(root.compare("Alma", "banán"), 0);
}

}  // namespace
}  // namespace velmo::test
