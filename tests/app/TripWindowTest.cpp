// The trip window: its stops and vehicle, asking every 20 s until closed, its failures, and
// opening it from a row of the main window. Clock and timers are a ManualRunLoop; time zone UTC.

#include "app/MainWindow.h"
#include "app/TripWindow.h"
#include "app/ViewController.h"
#include "core/display/TripDiagram.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/runloop/ManualRunLoop.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"

#include <QTest>
#include <QtWidgets>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kNow = 1'700'000'000;  // 2023-11-14 22:13:20 UTC

// A more/ reply in the service's shape, its stops 1 km apart northwards and two minutes apart:
// two passed live calls, one live call ahead, the user's stop on the timetable, and a cancelled
// last call.
JSON tripReply() {
    const char* const stops[] = {
        R"("stopId":"A","stopName":"Alsó","gps":true,"passed":true)",
        R"("stopId":"B","stopName":"Berek","gps":true,"passed":true)", R"("stopId":"C","stopName":"Csúcs","gps":true)",
        R"("stopId":"D","stopName":"Dél","selected":true)", R"("stopId":"E","stopName":"Erdő","cancelled":true)"};
    std::string list;
    for (int i = 0; i < 5; ++i) {
        const std::string at = std::to_string(kNow + (i - 2) * 120);
        list += std::string(i > 0 ? "," : "") + "{" + stops[i] + ",\"lat\":" + std::to_string(47.50 + i * 0.01) +
                R"(,"lon":19.04,"arrivalTimestamp":)" + at + ",\"departureTimestamp\":" + at + "}";
    }
    return JSON::parse(R"({"error":false,"warningText":[],"trip":{"tripId":"T 1","routeName":"81",)"
                       R"("routeType":"TROLLEYBUS","headsign":"Erdő","stops":[)" +
                       list + "]}}");
}

// Halfway between Berek and Csúcs, on its way to Csúcs, seen 130 s ago.
JSON vehicleReply() {
    return JSON::parse(R"({"error":false,"vehicle":{"lat":47.515,"lon":19.04,"bearing":null,"speed":null,)"
                       R"("label":"4123","currentStopId":"C","status":"IN_TRANSIT_TO","timestamp":)" +
                       std::to_string(kNow - 130) + "}}");
}

class TripWindowTest : public TempHome {
protected:
    void open() {
        window =
            std::make_unique<TripWindow>(client, loop, TripKey{"bp", "T 1", "D", "R81", "81", "Erdő", "TROLLEYBUS", 0});
    }
    // Answers the oldest two details queries (the trip's and the vehicle's) and runs the loop.
    void answer(std::optional<JSON> trip, std::optional<JSON> vehicle, std::optional<std::string> tripError = {},
                std::optional<std::string> vehicleError = {}) {
        ASSERT_GE(client.details.size(), 2U);
        for (auto& query : std::vector(client.details.begin(), client.details.begin() + 2)) {
            const bool isTrip = query.endpoint == "more";
            query.callback(isTrip ? tripError : vehicleError, isTrip ? trip : vehicle);
        }
        client.details.erase(client.details.begin(), client.details.begin() + 2);
        loop.runPending();
    }
    std::string rowText(int row) const {
        return window->diagram->model()->index(row, 0).data(Qt::AccessibleTextRole).toString().toStdString();
    }
    std::string vehicleText() const { return window->vehicleLine->text().toStdString(); }

    ManualRunLoop loop{RunLoop::TimePoint{std::chrono::seconds{kNow}}};
    FakeDeparturesClient client;
    std::unique_ptr<TripWindow> window;
};

TEST_F(TripWindowTest, DrawsTheStopsAndPutsTheVehicleBetweenTheStopsItTravelsBetween) {
    open();
    ASSERT_EQ(client.details.size(), 2U);
    EXPECT_EQ(client.details[0].endpoint, "more");
    EXPECT_EQ(client.details[1].endpoint, "vehicle");
    for (const auto& query : client.details)  // the ids in base64, the reply's city key
        EXPECT_EQ(std::tie(query.city, query.tripId, query.stopId, query.routeId),
                  std::make_tuple("bp", "VCAx", "RA==", "Ujgx"));
    answer(tripReply(), vehicleReply());
    window->resize(400, 600);
    window->show();
    QApplication::processEvents();

    TripDiagram& diagram = *window->diagram;
    ASSERT_EQ(diagram.model()->rowCount(), 5);
    EXPECT_EQ(rowText(0), "Alsó, 22:09 (élő GPS-adat), a jármű már elhagyta.");
    EXPECT_EQ(rowText(2), "Csúcs, 22:13 (élő GPS-adat), még hátravan. A jármű ide tart.");
    EXPECT_EQ(rowText(3), "Dél, 22:15 (menetrend szerint), még hátravan. A te megállód.");
    EXPECT_EQ(rowText(4), "Erdő, 22:17 (menetrend szerint), még hátravan. Elmarad.");
    EXPECT_EQ(vehicleText(), "A jármű Berek és Csúcs között volt, 2 perce");
    // What a screen reader gets for a stop is the row's sentence.
    QAccessibleInterface* list = QAccessible::queryAccessibleInterface(&diagram);
    ASSERT_NE(list, nullptr);
    ASSERT_NE(list->tableInterface(), nullptr);
    QAccessibleInterface* cell = list->tableInterface()->cellAt(3, 0);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(cell->text(QAccessible::Name).toStdString(), rowText(3));
    EXPECT_EQ(diagram.vehicleIconName().toStdString(), "TROLLEYBUS");

    const QRect vehicle = diagram.vehicleRect();
    ASSERT_FALSE(vehicle.isEmpty());
    EXPECT_GT(vehicle.center().y(), diagram.visualRect(diagram.model()->index(1, 0)).center().y());
    EXPECT_LT(vehicle.center().y(), diagram.visualRect(diagram.model()->index(2, 0)).center().y());

    // The user's stop is current at first; the arrow keys walk the stops.
    EXPECT_EQ(diagram.currentIndex().row(), 3);
    QTest::keyClick(&diagram, Qt::Key_Up);
    EXPECT_EQ(diagram.currentIndex().row(), 2);
    QTest::keyClick(&diagram, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible()) << "Esc closes";
}

TEST_F(TripWindowTest, AsksEveryTwentySecondsUntilClosedAndIgnoresLateAnswers) {
    open();
    answer(tripReply(), vehicleReply());
    loop.advance(19s);
    EXPECT_TRUE(client.details.empty());
    loop.advance(1s);
    ASSERT_EQ(client.details.size(), 2U) << "a new round after 20 s";
    loop.advance(60s);
    EXPECT_EQ(client.details.size(), 2U) << "never two rounds at once";
    answer(tripReply(), vehicleReply());
    EXPECT_EQ(vehicleText(), "A jármű Berek és Csúcs között volt, 3 perce");

    loop.advance(20s);
    ASSERT_EQ(client.details.size(), 2U);
    window->close();
    answer(tripReply(), std::nullopt, {}, "NOVEHICLE");  // the round under way answers after the close
    loop.advance(2min);
    EXPECT_TRUE(client.details.empty()) << "nothing asked after the close";
    EXPECT_EQ(vehicleText(), "A jármű Berek és Csúcs között volt, 3 perce") << "late answer";

    // A destroyed window: its round's answers find nothing to touch.
    open();
    window.reset();
    answer(tripReply(), vehicleReply());
    loop.advance(1min);
    EXPECT_TRUE(client.details.empty());
}

TEST_F(TripWindowTest, FailuresAreShownAndAMissingVehicleOnlyLeavesItOut) {
    open();
    answer(std::nullopt, std::nullopt, "NOTRIP", "NOTRIP");
    EXPECT_EQ(window->messageLine->text().toStdString(), "A járat nem található");
    EXPECT_FALSE(window->messageLine->isHidden());
    EXPECT_EQ(window->diagram->model()->rowCount(), 0);

    loop.advance(20s);
    answer(tripReply(), std::nullopt, {}, "NOVEHICLE");
    EXPECT_TRUE(window->messageLine->isHidden());
    EXPECT_EQ(window->diagram->model()->rowCount(), 5);
    EXPECT_TRUE(window->diagram->vehicleRect().isEmpty());
    EXPECT_EQ(vehicleText(), "Nincs elérhető járműpozíció");
    EXPECT_EQ(rowText(2), "Csúcs, 22:13 (élő GPS-adat), még hátravan.");

    loop.advance(20s);
    answer(std::nullopt, std::nullopt, "DOWNLOADERROR", "DOWNLOADERROR");
    EXPECT_EQ(window->messageLine->text().toStdString(), "Hiba (DOWNLOADERROR)")
        << "the client's message for other codes";
    EXPECT_EQ(window->diagram->model()->rowCount(), 5) << "the stops on show stay";
}

TEST_F(TripWindowTest, EnterOnARowOpensItsTripOrSaysWhyNot) {
    auto fake = std::make_unique<FakeDeparturesClient>();
    FakeDeparturesClient& departures = *fake;
    UserDefaults defaults{"velmomac"};
    MainWindow main(std::move(fake), defaults, loop);
    ViewController& list = *main.viewController();
    JSON::Array items;
    for (const bool details : {false, true}) {
        nlohmann::json item = departureList(1).object()[0];
        item.update({{"hasDetails", details}, {"tripId", "T 1"}, {"stopIdUniq", "D"}, {"routeId", "R81"}});
        items.push_back(JSON(item));
    }
    departures.answer(std::nullopt, JSON(items), JSON(JSON::Array{}));
    loop.runPending();
    DepartureTable& table = *list.tarvoTableView;
    ASSERT_EQ(table.count(), 2);

    table.setCurrentRow(0);
    QTest::keyClick(&table, Qt::Key_Return);
    EXPECT_EQ(list.tripWindow(), nullptr);
    EXPECT_EQ(main.statusBar()->currentMessage().toStdString(), "Ehhez az induláshoz nincs menetrendi részlet.");

    table.setCurrentRow(1);
    QTest::keyClick(&table, Qt::Key_Return);
    ASSERT_NE(list.tripWindow(), nullptr);
    EXPECT_TRUE(list.tripWindow()->isVisible());
    ASSERT_EQ(departures.details.size(), 2U);
    EXPECT_EQ(std::tie(departures.details[0].city, departures.details[0].tripId), std::make_tuple("bp", "VCAx"));
    list.tripWindow()->close();
}

}  // namespace
}  // namespace velmo::test
