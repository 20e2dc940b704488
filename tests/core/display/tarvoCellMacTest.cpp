// The departure row as it is shown: time texts, stars, icon, reuse, odd items, error and
// warning; the table that aligns its columns, elides long texts and keeps the selection
// readable; the contrast arithmetic. The favourites menu: the widget's and the window's tests.

#include "core/display/Contrast.h"
#include "core/display/DepartureTable.h"
#include "core/display/ElidedLabel.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "tests/support/display/DisplayTesting.h"

#include <QApplication>
#include <QLabel>
#include <QStyleFactory>

#include <set>

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

// One cell reused for every case: the other source's label is emptied each time.
TEST(tarvoCellMacTest, TimeTextGoesToTheLabelOfItsSource) {
    const std::vector<std::tuple<std::string, bool, QString>> cases{
        {"!!", true, "MOST|"}, {"!!", false, "|MOST"}, {"12", true, "12 perc|"}, {"0", false, "|0 perc"}};
    tarvoCellMac cell;
    for (const auto& [minutes, gps, expected] : cases) {
        fill(cell, departureItem("4", minutes, gps));
        EXPECT_EQ(times(cell), expected);
        EXPECT_EQ(cell.tarvoLiveMarker->isVisibleTo(&cell), gps) << minutes;
    }
}

// The accessible sentence names the favourites in words, not stars (the stars: the widget's test);
// a reused row drops both.
TEST(tarvoCellMacTest, AccessibleSentenceNamesFavouritesAndAReusedRowForgetsThem) {
    tarvoCellMac cell;
    fill(cell, departureItem("47", "5", false, true, true));
    EXPECT_EQ(cell.accessibleName(),
              "Villamos 47, Deák Ferenc tér megálló, Örs vezér tere felé, 5 perc múlva indul (menetrend szerint). "
              "Kedvenc járat. Kedvenc megálló.");
    fill(cell, departureItem("9", "!!", true));
    EXPECT_EQ(cell.tarvoStopLabel->text() + cell.tarvoLineLabel->text(), "Deák Ferenc tér9");
    EXPECT_EQ(cell.accessibleName(),
              "Villamos 9, Deák Ferenc tér megálló, Örs vezér tere felé, most indul (élő GPS-adat).");
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

// A cancelled departure says so in words and with a line through it, not by colour alone; a reused
// row forgets it.
TEST(tarvoCellMacTest, CancelledDepartureReadsElmaradStruckThrough) {
    tarvoCellMac cell;
    PlistMap item = departureItem("9", "5", true);
    item["tripCancelled"] = true;
    fill(cell, item);
    const QLabel* time = cell.tarvoTimeLeftLabelNoGPS;
    const QColor base = cell.palette().color(QPalette::Base);
    EXPECT_EQ(times(cell), "|elmarad");
    EXPECT_TRUE(time->font().strikeOut());
    EXPECT_FALSE(cell.tarvoLiveMarker->isVisibleTo(&cell));
    EXPECT_EQ(cell.textColour(time), readableColor(tarvoCellMac::kErrorColour, base));
    EXPECT_GE(contrastRatio(cell.textColour(time), base), 4.5);
    EXPECT_EQ(cell.accessibleName(), "Villamos 9, Deák Ferenc tér megálló, Örs vezér tere felé, elmarad.");

    fill(cell, departureItem("9", "5", false));
    EXPECT_EQ(times(cell), "|5 perc");
    EXPECT_FALSE(time->font().strikeOut());
    EXPECT_EQ(cell.textColour(time), readableColor(tarvoCellMac::kTimetableColour, base));
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

// A table of `items` on show at `width` pixels, laid out.
struct ShownTable {
    ShownTable(std::vector<PlistMap> items, int width) {
        source.items = std::move(items);
        table.setDataSource(&source);
        table.resize(width, 400);
        table.show();
        table.reloadData();
        QApplication::processEvents();
    }
    ListSource source;
    DepartureTable table;
};

// The stop column starts at one x in every row, the line column as wide as the widest line
// where there is room; in a narrow list the line numbers shrink, and the stop text keeps room.
TEST(DepartureTableTest, StopColumnStartsAtTheSamePlaceInEveryRow) {
    for (const int width : {480, 360}) {
        ShownTable shown({departureItem("9", "!!", true), departureItem("M1", "2", false),
                          departureItem("123E", "13", false, false, true)},
                         width);
        std::set<int> starts;
        std::set<int> timeEnds;
        const int widest = shown.table.rowView(2)->lineColumnHint();
        for (int row = 0; row < 3; ++row) {
            tarvoCellMac* cell = shown.table.rowView(row);
            starts.insert(cell->tarvoStopLabel->mapTo(&shown.table, QPoint()).x());
            QLabel* time = row == 0 ? cell->tarvoTimeLeftLabel : cell->tarvoTimeLeftLabelNoGPS;
            timeEnds.insert(time->mapTo(&shown.table, QPoint(time->width(), 0)).x());
            EXPECT_GE(cell->tarvoStopLabel->width(), 90) << width;
            if (width == 480)
                EXPECT_EQ(cell->tarvoLineLabel->width(), widest);
            else
                EXPECT_LT(cell->tarvoLineLabel->width(), widest);
        }
        EXPECT_EQ(starts.size(), 1U) << width;
        EXPECT_EQ(timeEnds.size(), 1U) << width;
    }
}

// Too narrow for the whole texts, the stop and direction end in "…" and show the whole text
// as their tool tip and to screen readers; the time stays whole.
TEST(DepartureTableTest, LongTextsElideWithTheWholeTextInTheirToolTip) {
    PlistMap item = departureItem("9", "12", false, true);
    item["name"] = "Toronyliget állomás, Bolygó és Nagyszénás utca sarka";
    item["tripHeadsign"] = "Szentlőrinckáta, Felsőtápiószentmárton kisállomás";
    for (const int width : {420, 320}) {
        ShownTable shown({item}, width);
        tarvoCellMac* cell = shown.table.rowView(0);
        StarLabel* stop = cell->tarvoStopLabel;
        auto* direction = static_cast<ElidedLabel*>(cell->tarvoDirectionLabel);
        EXPECT_TRUE(stop->isElided() && direction->isElided()) << width;
        EXPECT_TRUE(stop->shownText().startsWith("★ Toron")) << stop->shownText().toStdString();
        EXPECT_TRUE(stop->shownText().endsWith("…"));
        EXPECT_TRUE(direction->shownText().startsWith("Szent") && direction->shownText().endsWith("…"))
            << direction->shownText().toStdString();
        EXPECT_EQ(stop->toolTip(), "★ Toronyliget állomás, Bolygó és Nagyszénás utca sarka");
        EXPECT_EQ(direction->toolTip(), "Szentlőrinckáta, Felsőtápiószentmárton kisállomás");
        EXPECT_EQ(direction->accessibleDescription(), direction->toolTip());
        EXPECT_TRUE(shown.table.item(0)
                        ->data(Qt::AccessibleTextRole)
                        .toString()
                        .contains("Toronyliget állomás, Bolygó és Nagyszénás utca sarka megálló"));
        EXPECT_EQ(cell->tarvoTimeLeftLabelNoGPS->width(), cell->tarvoTimeLeftLabelNoGPS->sizeHint().width());
    }
    item["name"] = "Fő tér";
    ShownTable shortName({item}, 420);
    EXPECT_FALSE(shortName.table.rowView(0)->tarvoStopLabel->isElided());
    EXPECT_EQ(shortName.table.rowView(0)->tarvoStopLabel->toolTip(), "");
}

// The ratios as WCAG 2 gives them; the readable and faded colours keep their minimums.
TEST(ContrastTest, RatiosAndReadableColours) {
    EXPECT_NEAR(contrastRatio(Qt::black, Qt::white), 21.0, 1e-9);
    EXPECT_NEAR(contrastRatio(QColor(119, 119, 119), Qt::white), 4.48, 0.01);
    EXPECT_NEAR(contrastRatio(QColor(0, 0, 0, 128), Qt::white), contrastRatio(QColor(127, 127, 127), Qt::white), 0.05);
    EXPECT_EQ(readableColor(QColor(20, 120, 50), Qt::white), QColor(20, 120, 50));  // already readable
    for (const QColor& background : {QColor(48, 140, 198), QColor(Qt::white), QColor(30, 30, 30)})
        for (const QColor& wanted : {QColor(Qt::white), QColor(20, 120, 50), QColor(110, 110, 110)}) {
            const QColor readable = readableColor(wanted, background);
            EXPECT_GE(contrastRatio(readable, background), 4.5);
            const QColor faded = dimmedColor(readable, background);
            EXPECT_GE(contrastRatio(faded, background), 3.0);
            EXPECT_LT(contrastRatio(faded, background), contrastRatio(readable, background));
        }
}

// Every text of a selected row reaches 4.5:1 on the list's own highlight, whatever the palette.
TEST(DepartureTableTest, SelectedRowTextsAreReadableOnTheHighlight) {
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    dark.setColor(QPalette::Highlight, QColor(60, 110, 170));
    dark.setColor(QPalette::HighlightedText, QColor(250, 250, 250));
    QPalette yellow = dark;
    yellow.setColor(QPalette::Highlight, QColor(250, 220, 60));
    yellow.setColor(QPalette::HighlightedText, QColor(255, 255, 255));  // unreadable as given
    const std::vector<std::pair<const char*, QPalette>> palettes{
        {"style", std::unique_ptr<QStyle>(QStyleFactory::create("Fusion"))->standardPalette()},
        {"dark", dark},
        {"yellow", yellow}};

    PlistMap warned = departureItem("9", "3", true, true, true);
    warned["warning"] = true;
    for (const auto& [name, palette] : palettes) {
        ShownTable shown({warned, departureItem("M1", "5", false), PlistMap{{"error", "NOLOCATION"}}}, 420);
        // Unselected rows in the list keep the colours that tell live times from timetable times.
        for (const auto& [row, time] :
             {std::pair(0, &tarvoCellMac::tarvoTimeLeftLabel), std::pair(1, &tarvoCellMac::tarvoTimeLeftLabelNoGPS)}) {
            tarvoCellMac* cell = shown.table.rowView(row);
            EXPECT_NE(cell->textColour(cell->*time), cell->textColour(cell->tarvoStopLabel)) << name << " row " << row;
        }
        shown.table.setPalette(palette);
        const QColor highlight = shown.table.palette().color(QPalette::Highlight);
        for (int row = 0; row < 3; ++row) {
            shown.table.setCurrentRow(row);
            tarvoCellMac* cell = shown.table.rowView(row);
            ASSERT_TRUE(cell->isSelected());
            for (QWidget* label :
                 std::initializer_list<QWidget*>{cell->tarvoLineLabel, cell->tarvoStopLabel, cell->tarvoDirectionLabel,
                                                 cell->tarvoTimeLeftLabel, cell->tarvoTimeLeftLabelNoGPS,
                                                 cell->tarvoLiveMarker, cell->tarvoWarningLabel, cell->tarvoErrorLabel})
                EXPECT_GE(contrastRatio(cell->textColour(label), highlight), 4.5)
                    << name << " row " << row << " " << label->objectName().toStdString();
        }
        EXPECT_FALSE(shown.table.rowView(0)->isSelected());
    }
}

}  // namespace
}  // namespace velmo::test
