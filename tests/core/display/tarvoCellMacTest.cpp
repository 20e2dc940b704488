// The departure row as it is shown: time texts, stars, icon, reuse, odd items, error and
// warning; the table that reuses rows; the favourites menu.

#include "core/display/DepartureTable.h"
#include "core/display/FavouritesMenu.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"

#include <QAction>
#include <QLabel>
#include <QMenu>

namespace velmo::test {
namespace {

void fill(tarvoCellMac& cell, std::optional<PlistMap> item) {
    cell.tarvoData = std::move(item);
    cell.fillFromData();
}

// The live label's text, then the timetable label's.
QString times(const tarvoCellMac& cell) {
    return cell.tarvoTimeLeftLabel->text() + "|" + cell.tarvoTimeLeftLabelNoGPS->text();
}

TEST(tarvoCellMacTest, TimeTextGoesToTheLabelOfItsSource) {
    const std::vector<std::tuple<std::string, bool, QString>> cases{
        {"!!", true, "MOST|"}, {"!!", false, "|MOST"}, {"0", false, "|0 perc"}, {"12", true, "12 perc|"}};
    for (const auto& [minutes, gps, expected] : cases) {
        tarvoCellMac cell;
        fill(cell, departureItem("4", minutes, gps));
        EXPECT_EQ(times(cell), expected);
        EXPECT_EQ(cell.tarvoLiveMarker->isVisibleTo(&cell), gps) << minutes;
    }
}

TEST(tarvoCellMacTest, FavouritesGetStarsThatGoWhenTheRowIsReused) {
    tarvoCellMac cell;
    fill(cell, departureItem("47", "5", false, true, true));
    EXPECT_EQ(cell.tarvoStopLabel->text(), "★ Deák Ferenc tér");
    EXPECT_EQ(cell.tarvoLineLabel->text(), "47 ★");

    // The accessible sentence names the favourites without stars.
    EXPECT_EQ(cell.accessibleName(),
              "Villamos 47, Deák Ferenc tér megálló, Örs vezér tere felé, 5 perc múlva indul (menetrend szerint). "
              "Kedvenc járat. Kedvenc megálló.");

    fill(cell, departureItem("9", "!!", true));
    EXPECT_EQ(cell.tarvoStopLabel->text(), "Deák Ferenc tér");
    EXPECT_EQ(cell.tarvoLineLabel->text(), "9");
    EXPECT_TRUE(cell.accessibleName().contains("most indul (élő GPS-adat)"));
}

TEST(tarvoCellMacTest, IconFollowsTheTypeAndOddItemsRenderEmpty) {
    tarvoCellMac cell;
    PlistMap item = departureItem("N6", "5", false);
    item["type"] = "NIGHTBUS";
    fill(cell, item);
    EXPECT_EQ(cell.tarvoImage->property("tarvoIconName").toString(), "NIGHTBUS");
    EXPECT_FALSE(cell.tarvoImage->pixmap().isNull());
    item["type"] = "ZEPPELIN";
    fill(cell, item);
    EXPECT_TRUE(cell.tarvoImage->pixmap().isNull());

    const PlistMap wrongKinds{{"shortName", PlistList{}},       {"name", 3.5},
                              {"departureGPS", "yes"},          {"type", int64_t{4}},
                              {"departureMinutes", PlistMap{}}, {"warningText", int64_t{1}}};
    for (const std::optional<PlistMap>& odd : {std::optional<PlistMap>(), std::optional<PlistMap>(wrongKinds)}) {
        tarvoCellMac fresh;
        fill(fresh, odd);
        EXPECT_EQ(fresh.tarvoLineLabel->text() + fresh.tarvoStopLabel->text(), "");
        EXPECT_EQ(times(fresh), "| perc");
        EXPECT_TRUE(fresh.tarvoImage->pixmap().isNull());
    }
}

TEST(tarvoCellMacTest, ErrorItemAcrossTheRowAndTheWarningSign) {
    FakeDeparturesClient client;
    tarvoCellMac cell;
    cell.setErrorText([&client](std::string_view code) { return client.toErrorString(code); });
    fill(cell, departureItem("4", "3", true));
    fill(cell, PlistMap{{"error", "NOLOCATION"}});
    EXPECT_EQ(cell.tarvoErrorLabel->text(), "Hiba (NOLOCATION)");
    EXPECT_TRUE(cell.tarvoErrorLabel->isVisibleTo(&cell));
    EXPECT_FALSE(cell.tarvoLineLabel->isVisibleTo(&cell) || cell.tarvoTimeLeftLabel->isVisibleTo(&cell));
    EXPECT_EQ(cell.accessibleName(), "Hiba: Hiba (NOLOCATION)");

    fill(cell, departureItem("4", "3", true));
    EXPECT_FALSE(cell.tarvoErrorLabel->isVisibleTo(&cell));
    EXPECT_TRUE(cell.tarvoLineLabel->isVisibleTo(&cell));

    // The warning sign carries the warning texts.
    PlistMap item = departureItem("4", "3", true);
    item["warning"] = true;
    item["warningText"] = PlistList{"Pótlóbusz", "Terelés"};
    fill(cell, item);
    EXPECT_TRUE(cell.tarvoWarningLabel->isVisibleTo(&cell));
    EXPECT_EQ(cell.tarvoWarningLabel->toolTip(), "Pótlóbusz\nTerelés");
    item["warning"] = false;
    fill(cell, item);
    EXPECT_FALSE(cell.tarvoWarningLabel->isVisibleTo(&cell));
}

// A table over a plain list of items, as the controllers use it.
class ListSource : public DepartureTableDataSource {
public:
    int numberOfRowsInTableView(DepartureTable&) override { return static_cast<int>(items.size()); }
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override {
        tarvoCellMac* cell = table.makeRowView(row);
        fill(*cell, items[static_cast<size_t>(row)]);
        return cell;
    }
    std::vector<PlistMap> items;
};

TEST(DepartureTableTest, ReloadReusesRowsMovesTheirTimesAndDropsExtraOnes) {
    ListSource source;
    DepartureTable table;
    table.setDataSource(&source);
    source.items = {departureItem("1", "1", true), departureItem("2", "2", true), departureItem("3", "3", true)};
    table.reloadData();
    ASSERT_EQ(table.count(), 3);
    tarvoCellMac* first = table.rowView(0);

    source.items = {departureItem("5", "9", false)};
    table.reloadData();
    ASSERT_EQ(table.count(), 1);
    EXPECT_EQ(table.rowView(0), first);
    EXPECT_EQ(times(*first), "|9 perc");
    EXPECT_EQ(table.item(0)->data(Qt::AccessibleTextRole).toString(), first->accessibleSentence());
}

class FavouritesMenuTest : public TempHome {};

TEST_F(FavouritesMenuTest, TogglingStoresAndRemovesFavourites) {
    AppSettings settings;
    QMenu menu;
    addFavouriteActions(menu, departureItem("47", "5", false), settings);
    ASSERT_EQ(menu.actions().size(), 2);
    EXPECT_FALSE(menu.actions()[0]->isChecked());
    menu.actions()[0]->trigger();
    menu.actions()[1]->trigger();
    EXPECT_TRUE(settings.getStringList("settingFavStopList", "F01"));
    EXPECT_TRUE(settings.getStringList("settingFavTripList", "3040"));
    EXPECT_EQ(settings.getSettingsForTableView("settingFavTripList").at(0).at("text"), PlistValue("47"));

    QMenu again;
    addFavouriteActions(again, departureItem("47", "5", false), settings);
    EXPECT_TRUE(again.actions()[0]->isChecked());
    again.actions()[0]->trigger();
    EXPECT_FALSE(settings.getStringList("settingFavStopList", "F01"));
    EXPECT_TRUE(settings.getStringList("settingFavTripList", "3040"));

    QMenu none;  // an item without identifiers offers disabled entries
    addFavouriteActions(none, PlistMap{{"error", "NOLOCATION"}}, settings);
    EXPECT_FALSE(none.actions()[0]->isEnabled() || none.actions()[1]->isEnabled());
}

}  // namespace
}  // namespace velmo::test
