// "Pozíció megadása" in the main window, over the programs' own client stack and a loopback
// HTTPS server: from a failed position to a stop chosen by name, stored as the fixed position,
// and the next query asked at once from there.

#include "app/MainWindow.h"
#include "app/ViewController.h"
#include "core/client/ClientStack.h"
#include "core/display/DeparturesClient.h"
#include "core/display/PositionDialog.h"
#include "core/settings/AppSettings.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/runloop/RunLoop.h"
#include "tests/core/service/ServiceFixture.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/TempHome.h"

#include <QTest>
#include <QtWidgets>

#include <nlohmann/json.hpp>

#include <sstream>

namespace velmo::test {
namespace {

// Qt events until `done` holds, for at most 10 s. (QtTest's QTRY macros report to QtTest, not
// to GoogleTest: a failure would pass unseen.)
bool eventually(const std::function<bool()>& done) { return QTest::qWaitFor(done, 10000); }

class PositionTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        dir().write("config/velmomac/servers.conf", server.localServerLines());
        AppSettings().set("useDevelopmentServer", int64_t{1});
        // A source that cannot work: every query fails for want of a position.
        UserDefaults(AppSettings::kAppGroup).setObject("locationSource", PlistValue(std::string("nmea:/no/such/log")));
    }

    std::vector<SeenRequest> requests(const std::string& path) const {
        std::vector<SeenRequest> found;
        for (const SeenRequest& r : server.seen())
            if (r.path == path)
                found.push_back(r);
        return found;
    }

    LoopbackHttps server;
    std::ostringstream log;
};

TEST_F(PositionTest, AStopFoundByNameBecomesTheFixedPositionAndIsAskedWithAtOnce) {
    ClientStack stack({}, log, log);
    MainWindow window(stack.departuresClient(), stack.standardDefaults(), stack.runLoop());
    window.show();
    ViewController* list = window.viewController();
    ASSERT_TRUE(eventually([&] { return list->messageLine->isVisible(); }));
    EXPECT_EQ(list->messageLine->text(), QStringLiteral("A pozíciód meghatározása nem sikerült"));
    ASSERT_TRUE(list->positionButton->isVisible());

    server.answer(
        R"({"error":false,"stops":[)"
        R"({"city":"bp","cityName":"Budapest","id":"P","name":"Deák Ferenc tér","lat":47.4977,"lon":19.054},)"
        R"({"city":"sz","cityName":"Szeged","id":"D","name":"Deák Ferenc utca","lat":46.253,"lon":20.148}]})");
    server.answer(nlohmann::json{
        {"error", false}, {"stopDates", {sampleDeparture()}}, {"stopDatesNearby", nlohmann::json::array()}}
                      .dump());
    // Esc closes the dialog and stores nothing.
    QTest::mouseClick(list->positionButton, Qt::LeftButton);
    ASSERT_NE(list->findChild<PositionDialog*>(), nullptr);
    QTest::keyClick(list->findChild<PositionDialog*>()->searchBox, Qt::Key_Escape);
    ASSERT_TRUE(eventually([&] { return list->findChild<PositionDialog*>() == nullptr; }));
    EXPECT_EQ(UserDefaults(AppSettings::kAppGroup).stringForKey("locationSource"), "nmea:/no/such/log");

    QTest::mouseClick(list->positionButton, Qt::LeftButton);
    auto* dialog = list->findChild<PositionDialog*>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(eventually([&] { return dialog->isVisible(); }));
    EXPECT_EQ(dialog->focusWidget(), dialog->searchBox);

    QTest::keyClicks(dialog->searchBox, "deak");
    ASSERT_TRUE(eventually([&] { return dialog->matchList->count() == 2; }));
    EXPECT_EQ(dialog->matchList->item(1)->text(), QStringLiteral("Deák Ferenc utca — Szeged"));
    const auto searches = requests("/v2/stops/");
    ASSERT_EQ(searches.size(), 1U);
    EXPECT_EQ(nlohmann::json::parse(searches[0].body)["text"], "deak");
    for (const char* header : {"x-app", "x-apilevel", "x-uuid"})
        EXPECT_NE(searches[0].header(header), "<absent>") << header;

    QTest::keyClick(dialog->searchBox, Qt::Key_Down);
    QTest::keyClick(dialog->searchBox, Qt::Key_Down);  // stays on the last row
    QTest::keyClick(dialog->searchBox, Qt::Key_Return);
    const UserDefaults shared(AppSettings::kAppGroup);
    EXPECT_EQ(shared.stringForKey("locationSource"), "fixed");
    EXPECT_EQ(shared.stringForKey("locationFixed"), "46.253000,20.148000");

    // The next query starts at once, from the stored position.
    ASSERT_TRUE(eventually([&] { return list->items().size() == 1U; }));
    const auto queries = requests("/v2/nearby/");
    ASSERT_EQ(queries.size(), 1U);
    const auto body = nlohmann::json::parse(queries[0].body);
    EXPECT_NEAR(body["lat"].get<double>(), 46.253, 1e-4);
    EXPECT_NEAR(body["lon"].get<double>(), 20.148, 1e-4);
    EXPECT_EQ(queries[0].header("x-uuid"), searches[0].header("x-uuid"));
    EXPECT_FALSE(list->positionButton->isVisible());
    ASSERT_TRUE(eventually([&] { return list->findChild<PositionDialog*>() == nullptr; }));  // closed and gone
}

}  // namespace
}  // namespace velmo::test
