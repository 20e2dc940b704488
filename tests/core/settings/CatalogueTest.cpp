// The catalogue: selected index, labels, titles, table rows and setIndex.

#include "SettingsFixture.h"

#include <gmock/gmock.h>

namespace velmo::test {
namespace {

using ::testing::HasSubstr;

class CatalogueTest : public SettingsFixture {};

TEST_F(CatalogueTest, SelectedIndexAndLabelOfFirstRunValues) {
    AppSettings settings;
    struct Case {
        const char* key;
        int64_t index;
        const char* label;
    };
    const std::vector<Case> cases{
        {"settingRadius", 2, "300 m"},
        {"settingMinutes", 5, "fél órában"},
        {"settingFavTrip", 1, "irányonként egy-egy"},
        {"settingFavStopRadius", 5, "1.5 km"},
        {"settingTodayNum", 2, "3 db"},
        {"settingTodayStops", 0, "összes"},
        // Allowed values without labels.
        {"settingFavSortMode", 0, ""},
        {"useDevelopmentServer", 0, ""},
        {"userLastUsedScreen", 0, ""},
        // Neither an index nor a label.
        {"deviceUUID", -1, ""},
        {"settingFavStopList", -1, ""},
        {"settingFavTripList", -1, ""},
        {"configVersion", -1, ""},
        {"", -1, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(settings.getSelectedIndex(c.key), c.index) << c.key;
        EXPECT_EQ(settings.getVisible(c.key), c.label) << c.key;
    }
}

TEST_F(CatalogueTest, StoredValuesMapToTheirLabels) {
    AppSettings settings(true);
    struct Case {
        const char* key;
        PlistValue value;
        int64_t index;
        const char* label;
    };
    const std::vector<Case> cases{
        {"settingFavTrip", int64_t{3}, 3, "soha"},
        {"settingFavTrip", int64_t{4}, 2, "csak megálló-járat"},
        {"settingMinutes", int64_t{30}, 5, "fél órában"},
        {"settingMinutes", int64_t{60}, 11, "1 óraban"},
        {"settingTodayNum", int64_t{99999}, 9, "ami a csövön kifér"},
        {"settingFavStopRadius", -1.0F, 0, "nincs"},
        {"settingFavStopRadius", 2250.0F, 8, "2.25 km"},
        {"settingRadius", 1000.0F, 6, "1 km"},
        // Outside the allowed values: no index, no label.
        {"settingRadius", 350.0F, -1, ""},
        {"settingMinutes", int64_t{31}, -1, ""},
    };
    for (const Case& c : cases) {
        settings.set(c.key, c.value);
        EXPECT_EQ(settings.getSelectedIndex(c.key), c.index) << c.key;
        EXPECT_EQ(settings.getVisible(c.key), c.label) << c.key;
    }
}

TEST_F(CatalogueTest, TitlesHeadersAndFooters) {
    const AppSettings settings(true);
    EXPECT_EQ(settings.getTitleText("settingFavStopRadius"), "Megállók távolsága");
    EXPECT_EQ(settings.getTitleText("settingRadius"), "Megállók távolsága");
    EXPECT_EQ(settings.getTitleText("settingFavStopList"), "Kedvenc megállók");
    EXPECT_EQ(settings.getTitleText("settingMinutes"), "Járatok a következő");
    EXPECT_EQ(settings.getTitleText("deviceUUID"), "");
    EXPECT_EQ(settings.getTitleText("nonsense"), "");

    EXPECT_EQ(settings.getHeaderForKey("settingRadius"), std::nullopt);
    EXPECT_EQ(settings.getHeaderForKey("settingRadiusX"), "ALMAAAAAAAAAA!");
    EXPECT_EQ(settings.getFooterForKey("settingTodayNum"),
              "Ha szűkös a helyed a widgetek között, így tudsz egy kicsit takarékoskodni");
    EXPECT_THAT(settings.getFooterForKey("settingFavStopRadius").value_or(""), HasSubstr("Pillangó utcánál"));
    EXPECT_EQ(settings.getFooterForKey("settingFavTripList"), std::nullopt);
}

TEST_F(CatalogueTest, TableRowsOfALabelledKey) {
    AppSettings settings(true);
    settings.set("settingTodayStops", int64_t{2});
    const std::vector<PlistMap> expected{
        {{"text", "összes"}, {"value", int64_t{1}}, {"selected", false}},
        {{"text", "legközelebbi"}, {"value", int64_t{2}}, {"selected", true}},
    };
    EXPECT_EQ(settings.getSettingsForTableView("settingTodayStops"), expected);

    const auto radius = settings.getSettingsForTableView("settingFavStopRadius");
    ASSERT_EQ(radius.size(), 10U);
    EXPECT_EQ(radius[0].at("value"), PlistValue(-1.0F));
    EXPECT_EQ(radius[0].at("text"), PlistValue("nincs"));

    // A value outside the list leaves every row unselected.
    settings.set("settingMinutes", int64_t{31});
    const auto minutes = settings.getSettingsForTableView("settingMinutes");
    ASSERT_EQ(minutes.size(), 12U);
    for (const PlistMap& row : minutes)
        EXPECT_EQ(row.at("selected"), PlistValue(false));
}

TEST_F(CatalogueTest, TableRowsAreEmptyWithoutValuesOrLabels) {
    const AppSettings settings(true);
    for (const char* key : {"", "settingFavStopList", "settingFavTripList", "deviceUUID", "useDevelopmentServer",
                            "settingFavSortMode", "previousReply1"})
        EXPECT_TRUE(settings.getSettingsForTableView(key).empty()) << key;
}

TEST_F(CatalogueTest, TableRowsOfAFavouriteList) {
    AppSettings settings(true);
    settings.set("settingFavTripList", PlistList{PlistMap{{"raw", "T1"}, {"display", "Egyes"}},
                                                 PlistMap{{"raw", "T2"}},  // a damaged entry keeps its place
                                                 PlistMap{{"raw", "T3"}, {"display", "Hármas"}}});
    const std::vector<PlistMap> expected{
        {{"text", "Egyes"}, {"value", "T1"}},
        {{"value", "T2"}},
        {{"text", "Hármas"}, {"value", "T3"}},
    };
    EXPECT_EQ(settings.getSettingsForTableView("settingFavTripList"), expected);

    settings.set("settingFavStopList", int64_t{3});
    EXPECT_TRUE(settings.getSettingsForTableView("settingFavStopList").empty());
}

TEST_F(CatalogueTest, SetIndexStoresTheAllowedValue) {
    AppSettings settings(true);
    settings.setIndex("settingMinutes", 11);
    EXPECT_EQ(suite().objectForKey("settingMinutes"), PlistValue(int64_t{60}));
    settings.setIndex("settingFavStopRadius", 0);
    EXPECT_EQ(suite().objectForKey("settingFavStopRadius"), PlistValue(-1.0F));
    settings.setIndex("settingFavSortMode", 1);
    EXPECT_EQ(suite().objectForKey("settingFavSortMode"), PlistValue(true));
}

TEST_F(CatalogueTest, SetIndexOutOfRangeChangesNothing) {
    AppSettings settings;
    const PlistMap before = suite().dictionaryRepresentation();
    const std::vector<std::pair<std::string, int64_t>> cases{
        {"settingMinutes", 12}, {"settingMinutes", -1}, {"deviceUUID", 0}, {"nonsense", 0}};
    for (const auto& [key, index] : cases) {
        ::testing::internal::CaptureStderr();
        settings.setIndex(key, index);
        const std::string log = ::testing::internal::GetCapturedStderr();
        EXPECT_THAT(log, HasSubstr(key));
        EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
    }
    EXPECT_EQ(suite().dictionaryRepresentation(), before);
}

}  // namespace
}  // namespace velmo::test
