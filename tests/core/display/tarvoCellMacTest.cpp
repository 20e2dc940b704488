// The departure row: time texts, stars and their colours, reuse, odd items, error and warning.

#include "DisplayTesting.h"

#include "core/display/DepartureTable.h"
#include "core/display/FavouritesMenu.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"

#include <QAction>
#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextFragment>

namespace velmo::test {
namespace {

struct Run {
    QString text;
    QTextCharFormat format;
};

// The text runs of a label's document with their formats.
std::vector<Run> runsOf(const StarLabel& label) {
    std::vector<Run> runs;
    for (QTextBlock block = label.document().begin(); block.isValid(); block = block.next())
        for (auto it = block.begin(); !it.atEnd(); ++it)
            runs.push_back({it.fragment().text(), it.fragment().charFormat()});
    return runs;
}

QString filled(tarvoCellMac& cell, PlistMap item) {
    cell.tarvoData = std::move(item);
    cell.fillFromData();
    return cell.tarvoTimeLeftLabel->text() + "|" + cell.tarvoTimeLeftLabelNoGPS->text();
}

TEST(tarvoCellMacTest, TimeTextGoesToTheLabelOfItsSource) {
    struct Case {
        std::string minutes;
        bool gps;
        QString expected;
    };
    const std::vector<Case> cases{
        {"!!", true, "MOST|"},    {"!!", false, "|MOST"}, {"0", false, "|0 perc"},
        {"12", true, "12 perc|"}, {"", false, "| perc"},
    };
    for (const Case& c : cases) {
        tarvoCellMac cell;
        EXPECT_EQ(filled(cell, departureItem("4", c.minutes, c.gps)), c.expected) << c.minutes << " " << c.gps;
        EXPECT_EQ(cell.tarvoLiveMarker->isVisibleTo(&cell), c.gps);
    }
}

TEST(tarvoCellMacTest, ReusedRowMovesTheTimeBetweenLabels) {
    tarvoCellMac cell;
    EXPECT_EQ(filled(cell, departureItem("4", "3", true)), "3 perc|");
    cell.prepareForReuse();
    EXPECT_EQ(cell.tarvoTimeLeftLabel->text(), "3 perc") << "prepareForReuse must keep the texts";
    EXPECT_EQ(filled(cell, departureItem("6", "7", false)), "|7 perc");
    EXPECT_FALSE(cell.tarvoLiveMarker->isVisibleTo(&cell));
    EXPECT_EQ(filled(cell, departureItem("6", "!!", true)), "MOST|");
}

TEST(tarvoCellMacTest, LiveAndTimetableTimesDifferBeyondColour) {
    tarvoCellMac cell;
    filled(cell, departureItem("4", "3", true));
    EXPECT_TRUE(cell.tarvoTimeLeftLabel->font().bold());
    EXPECT_FALSE(cell.tarvoTimeLeftLabel->font().italic());
    EXPECT_TRUE(cell.tarvoTimeLeftLabelNoGPS->font().italic());
    EXPECT_FALSE(cell.tarvoTimeLeftLabelNoGPS->font().bold());
    EXPECT_EQ(cell.tarvoLiveMarker->text(), "●");
}

TEST(tarvoCellMacTest, FavouritesGetGoldStarsWithBrownOutline) {
    tarvoCellMac cell;
    cell.tarvoData = departureItem("47", "5", false, true, true);
    cell.fillFromData();

    EXPECT_EQ(cell.tarvoStopLabel->text(), "★ Deák Ferenc tér");
    EXPECT_EQ(cell.tarvoLineLabel->text(), "47 ★");

    const auto stop = runsOf(*cell.tarvoStopLabel);
    ASSERT_EQ(stop.size(), 2U);
    EXPECT_EQ(stop[0].text, "★ ");
    EXPECT_EQ(stop[0].format.foreground().color(), QColor(238, 195, 50));
    EXPECT_EQ(stop[0].format.textOutline().color(), QColor(172, 76, 39));
    EXPECT_NE(stop[0].format.textOutline().style(), Qt::NoPen);
    EXPECT_EQ(stop[0].format.font().pointSize(), 12);
    EXPECT_EQ(stop[1].format.font().pointSize(), 12);
    EXPECT_EQ(stop[1].format.textOutline().style(), Qt::NoPen);

    const auto line = runsOf(*cell.tarvoLineLabel);
    ASSERT_EQ(line.size(), 2U);
    EXPECT_EQ(line[1].text, " ★");
    EXPECT_EQ(line[1].format.foreground().color(), QColor(238, 195, 50));
    EXPECT_EQ(line[1].format.textOutline().color(), QColor(172, 76, 39));
    EXPECT_EQ(line[0].format.font().pointSize(), 28);
    EXPECT_EQ(line[1].format.font().pointSize(), 28);
}

TEST(tarvoCellMacTest, StarsDisappearWhenTheRowIsReusedForANonFavourite) {
    tarvoCellMac cell;
    cell.tarvoData = departureItem("47", "5", false, true, true);
    cell.fillFromData();
    cell.tarvoData = departureItem("9", "5", false);
    cell.fillFromData();
    EXPECT_EQ(cell.tarvoStopLabel->text(), "Deák Ferenc tér");
    EXPECT_EQ(cell.tarvoLineLabel->text(), "9");
}

TEST(tarvoCellMacTest, StarIsPaintedGold) {
    tarvoCellMac cell;
    cell.tarvoData = departureItem("", "5", false, false, true);
    cell.fillFromData();
    cell.resize(420, 68);
    const QImage image = cell.tarvoLineLabel->grab().toImage();
    int gold = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            gold += std::abs(c.red() - 238) < 20 && std::abs(c.green() - 195) < 20 && std::abs(c.blue() - 50) < 30;
        }
    EXPECT_GT(gold, 10);
}

TEST(tarvoCellMacTest, IconFollowsTheTypeAndUnknownTypesShowNone) {
    tarvoCellMac cell;
    PlistMap item = departureItem("N6", "5", false);
    item["type"] = "NIGHTBUS";
    cell.tarvoData = item;
    cell.fillFromData();
    EXPECT_EQ(cell.tarvoImage->property("tarvoIconName").toString(), "NIGHTBUS");
    EXPECT_FALSE(cell.tarvoImage->pixmap().isNull());

    item["type"] = "ZEPPELIN";
    cell.tarvoData = item;
    cell.fillFromData();
    EXPECT_TRUE(cell.tarvoImage->pixmap().isNull());
}

TEST(tarvoCellMacTest, MissingKeysAndOtherKindsRenderEmptyTexts) {
    const std::vector<std::optional<PlistMap>> items{
        std::nullopt,
        PlistMap{},
        PlistMap{{"shortName", PlistList{}},
                 {"name", 3.5},
                 {"departureGPS", "yes"},
                 {"type", int64_t{4}},
                 {"departureMinutes", PlistMap{}},
                 {"warningText", int64_t{1}}},
    };
    for (const auto& item : items) {
        tarvoCellMac cell;
        cell.tarvoData = item;
        cell.fillFromData();
        EXPECT_EQ(cell.tarvoLineLabel->text(), "");
        EXPECT_EQ(cell.tarvoStopLabel->text(), "");
        EXPECT_EQ(cell.tarvoTimeLeftLabelNoGPS->text() + cell.tarvoTimeLeftLabel->text(), " perc");
        EXPECT_TRUE(cell.tarvoImage->pixmap().isNull());
    }
}

TEST(tarvoCellMacTest, ErrorItemShowsItsMessageAcrossTheRow) {
    FakeDeparturesClient client;
    tarvoCellMac cell;
    cell.setErrorText([&client](std::string_view code) { return client.toErrorString(code); });
    cell.tarvoData = departureItem("4", "3", true);
    cell.fillFromData();
    cell.tarvoData = PlistMap{{"error", "NOLOCATION"}};
    cell.fillFromData();
    EXPECT_EQ(cell.tarvoErrorLabel->text(), "Hiba (NOLOCATION)");
    EXPECT_TRUE(cell.tarvoErrorLabel->isVisibleTo(&cell));
    EXPECT_FALSE(cell.tarvoLineLabel->isVisibleTo(&cell));
    EXPECT_FALSE(cell.tarvoTimeLeftLabel->isVisibleTo(&cell));
    EXPECT_EQ(cell.accessibleName(), "Hiba: Hiba (NOLOCATION)");

    // Back to a departure: the departure controls return and the error goes.
    cell.tarvoData = departureItem("4", "3", true);
    cell.fillFromData();
    EXPECT_FALSE(cell.tarvoErrorLabel->isVisibleTo(&cell));
    EXPECT_TRUE(cell.tarvoLineLabel->isVisibleTo(&cell));
}

TEST(tarvoCellMacTest, WarningSignCarriesTheWarningTexts) {
    tarvoCellMac cell;
    PlistMap item = departureItem("4", "3", true);
    item["warning"] = true;
    item["warningText"] = PlistList{"Pótlóbusz", "Terelés"};
    cell.tarvoData = item;
    cell.fillFromData();
    EXPECT_TRUE(cell.tarvoWarningLabel->isVisibleTo(&cell));
    EXPECT_EQ(cell.tarvoWarningLabel->toolTip(), "Pótlóbusz\nTerelés");

    item["warning"] = false;
    cell.tarvoData = item;
    cell.fillFromData();
    EXPECT_FALSE(cell.tarvoWarningLabel->isVisibleTo(&cell));
}

TEST(tarvoCellMacTest, AccessibleSentenceNamesTheDepartureWithoutStars) {
    tarvoCellMac cell;
    cell.tarvoData = departureItem("47", "5", true, true, true);
    cell.fillFromData();
    EXPECT_EQ(cell.accessibleName(),
              "Villamos 47, Deák Ferenc tér megálló, Örs vezér tere felé, 5 perc múlva indul (élő GPS-adat). "
              "Kedvenc járat. Kedvenc megálló.");
    cell.tarvoData = departureItem("47", "!!", false);
    cell.fillFromData();
    EXPECT_TRUE(cell.accessibleName().contains("most indul (menetrend szerint)"));
    EXPECT_FALSE(cell.accessibleName().contains("★"));
}

TEST(tarvoCellMacTest, VehicleNamesAreHungarian) {
    EXPECT_EQ(tarvoCellMac::vehicleName("TROLLEYBUS"), "trolibusz");
    EXPECT_EQ(tarvoCellMac::vehicleName("SUBWAY"), "metró");
    EXPECT_EQ(tarvoCellMac::vehicleName("RAIL"), "vonat");
    EXPECT_EQ(tarvoCellMac::vehicleName("NIGHTBUS"), "éjszakai busz");
    EXPECT_EQ(tarvoCellMac::vehicleName("BLANK"), "jármű");
}

// A table over a plain list of items, as the controllers use it.
class ListSource : public DepartureTableDataSource {
public:
    int numberOfRowsInTableView(DepartureTable&) override { return static_cast<int>(items.size()); }
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override {
        tarvoCellMac* cell = table.makeRowView(row);
        cell->tarvoData = items[static_cast<size_t>(row)];
        cell->fillFromData();
        return cell;
    }
    std::vector<PlistMap> items;
};

TEST(DepartureTableTest, ReloadReusesRowsAndDropsExtraOnes) {
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
    EXPECT_EQ(first->tarvoTimeLeftLabel->text(), "");
    EXPECT_EQ(first->tarvoTimeLeftLabelNoGPS->text(), "9 perc");
    EXPECT_EQ(table.item(0)->data(Qt::AccessibleTextRole).toString(), first->accessibleSentence());
}

TEST(DepartureTableTest, ArrowKeysMoveBetweenRows) {
    ListSource source;
    DepartureTable table;
    table.setDataSource(&source);
    source.items = {departureItem("1", "1", true), departureItem("2", "2", true), departureItem("3", "3", true)};
    table.reloadData();
    table.show();
    table.setCurrentRow(0);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(&table, &down);
    EXPECT_EQ(table.currentRow(), 1);
    QKeyEvent up(QEvent::KeyPress, Qt::Key_Up, Qt::NoModifier);
    QApplication::sendEvent(&table, &up);
    EXPECT_EQ(table.currentRow(), 0);
}

class FavouritesMenuTest : public DisplayFixture {};

TEST_F(FavouritesMenuTest, TogglingStoresAndRemovesFavourites) {
    AppSettings settings;
    QMenu menu;
    addFavouriteActions(menu, departureItem("47", "5", false), settings);
    const auto actions = menu.actions();
    ASSERT_EQ(actions.size(), 2);
    EXPECT_EQ(actions[0]->text(), "Kedvenc megálló");
    EXPECT_EQ(actions[1]->text(), "Kedvenc járat");
    EXPECT_TRUE(actions[0]->isCheckable());
    EXPECT_FALSE(actions[0]->isChecked());

    actions[0]->trigger();
    actions[1]->trigger();
    EXPECT_TRUE(settings.getStringList("settingFavStopList", "F01"));
    EXPECT_TRUE(settings.getStringList("settingFavTripList", "3040"));
    const auto rows = settings.getSettingsForTableView("settingFavTripList");
    ASSERT_EQ(rows.size(), 1U);
    EXPECT_EQ(rows[0].at("text"), PlistValue("47"));

    QMenu again;
    addFavouriteActions(again, departureItem("47", "5", false), settings);
    EXPECT_TRUE(again.actions()[0]->isChecked());
    again.actions()[0]->trigger();
    EXPECT_FALSE(settings.getStringList("settingFavStopList", "F01"));
    EXPECT_TRUE(settings.getStringList("settingFavTripList", "3040"));
}

TEST_F(FavouritesMenuTest, ItemWithoutIdentifiersOffersDisabledEntries) {
    AppSettings settings;
    QMenu menu;
    addFavouriteActions(menu, PlistMap{{"error", "NOLOCATION"}}, settings);
    ASSERT_EQ(menu.actions().size(), 2);
    EXPECT_FALSE(menu.actions()[0]->isEnabled());
    EXPECT_FALSE(menu.actions()[1]->isEnabled());
}

}  // namespace
}  // namespace velmo::test
