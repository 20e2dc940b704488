// The main window: its list and what it says about the rows, refreshing, the preferences page
// and the update line. The list's clock and timers are a ManualRunLoop; time zone UTC.

#include "app/MainWindow.h"
#include "app/PreferencesPage.h"
#include "app/ViewController.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/ServerCheck.h"
#include "core/service/ServerConfig.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/QtUrlSession.h"
#include "platform/location/LocationSource.h"
#include "platform/runloop/ManualRunLoop.h"
#include "platform/update/UpdateChecker.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"

#include <QTest>
#include <QtWidgets>

#include <set>
#include <sstream>

namespace velmo::test {
namespace {

using namespace std::chrono_literals;

// 2023-11-14 22:13:20 UTC.
constexpr RunLoop::TimePoint kStart{std::chrono::seconds{1'700'000'000}};

// The darkest grey level drawn by a row's timetable time: dimmed times are drawn lighter.
int darkestInk(tarvoCellMac& cell) {
    QLabel* time = cell.tarvoTimeLeftLabelNoGPS;
    const QImage image = cell.grab(QRect(time->mapTo(&cell, QPoint()), time->size())).toImage();
    int darkest = 255;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            darkest = std::min(darkest, qGray(image.pixel(x, y)));
    return darkest;
}

// A main window over a scripted client and a virtual clock, on first-run settings.
class WindowTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        AppSettings first;
        auto fake = std::make_unique<FakeDeparturesClient>();
        client = fake.get();
        window.emplace(std::move(fake), defaults, loop);
        list = window->viewController();
    }
    void answer(std::optional<std::string> error, std::optional<JSON> first) {
        client->answer(std::move(error), first, first ? std::optional<JSON>(departureList(2, 90)) : std::nullopt);
        loop.runPending();
    }
    void answer() { answer(std::nullopt, departureList(3)); }
    bool shows(QWidget* part) const { return part->isVisibleTo(list); }
    QString message() const { return shows(list->messageLine) ? list->messageLine->text() : QString(); }
    void showActive() {
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&*window));
    }
    PreferencesPage* page() const { return window->settingsDialog()->findChild<PreferencesPage*>(); }

    ManualRunLoop loop{kStart};
    UserDefaults defaults{"velmomac"};
    FakeDeparturesClient* client = nullptr;
    std::optional<MainWindow> window;
    ViewController* list = nullptr;
};

TEST_F(WindowTest, SaysWhetherItIsAskingFailedOrFoundNothing) {
    ASSERT_EQ(client->pending.size(), 1U) << "one query at load";
    EXPECT_TRUE(shows(list->busyLine));
    EXPECT_FALSE(shows(list->statusLine));

    client->answer(std::nullopt, departureList(25), departureList(3, 40));
    EXPECT_EQ(list->tarvoTableView->count(), 0) << "installed later, on the main loop";
    loop.runPending();
    EXPECT_EQ(list->tarvoTableView->count(), 25) << "no cap";
    EXPECT_EQ(list->tarvoTableView->rowView(24)->tarvoLineLabel->text(), "L24");
    EXPECT_FALSE(shows(list->busyLine));
    EXPECT_EQ(message(), "");
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:13");

    loop.advance(60s);
    list->refresh();
    list->refresh();
    EXPECT_EQ(client->pending.size(), 1U) << "never two queries at once";
    EXPECT_TRUE(shows(list->busyLine));
    answer("NOLOCATION", std::nullopt);
    EXPECT_EQ(message(), "Hiba (NOLOCATION)") << "the client's message for the code";
    EXPECT_TRUE(shows(list->retryButton));
    EXPECT_EQ(list->tarvoTableView->count(), 25) << "a failure keeps the rows";
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:13") << "a failure is not an answer";

    list->retryButton->click();
    ASSERT_EQ(client->pending.size(), 1U);
    answer(std::nullopt, JSON(JSON::Array{}));
    EXPECT_EQ(list->tarvoTableView->count(), 0);
    EXPECT_EQ(message(), "Nincs induló járat a közelben.");
    EXPECT_FALSE(shows(list->retryButton));
    EXPECT_FALSE(shows(list->statusLine)) << "no departures on screen to be fresh";

    // A newer version: one line with its link.
    EXPECT_FALSE(window->updateLine()->isVisibleTo(&*window));
    window->showUpdate(UpdateInfo{"0.2.0", 12, "https://velmomac.example/dl", "Újdonságok"});
    EXPECT_TRUE(window->updateLine()->isVisibleTo(&*window));
    EXPECT_TRUE(window->updateLine()->text().contains("0.2.0") &&
                window->updateLine()->text().contains("href=\"https://velmomac.example/dl\""));
}

TEST_F(WindowTest, RowsOlderThanTwoMinutesAreDimmedAndTheirAgeShown) {
    window->show();
    answer();
    QApplication::processEvents();  // lays the row out
    tarvoCellMac& cell = *list->tarvoTableView->rowView(0);
    const int fresh = darkestInk(cell);
    loop.advance(119s);
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:13");
    EXPECT_EQ(darkestInk(cell), fresh);
    loop.advance(1s);
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:13 (2 perce)");
    EXPECT_GT(darkestInk(cell), fresh + 40) << "the times are dimmed";
    loop.advance(4min);
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:13 (6 perce)");
    list->refresh();
    answer();
    QApplication::processEvents();
    EXPECT_EQ(list->statusLine->text(), "Frissítve 22:19");
    EXPECT_EQ(darkestInk(*list->tarvoTableView->rowView(0)), fresh);
}

TEST_F(WindowTest, AutomaticRefreshOnlyWhenOnWhileShownAndNeverOverlapping) {
    window->show();
    answer();
    loop.advance(5min);
    EXPECT_EQ(client->pending.size(), 0U) << "off by default";

    AppSettings(true).set("settingAutoRefresh", true);
    list->settingsChanged();
    answer();
    loop.advance(30s);
    ASSERT_EQ(client->pending.size(), 1U);
    loop.advance(2min);  // a slow answer
    EXPECT_EQ(client->pending.size(), 1U);
    answer();
    loop.advance(29s);
    EXPECT_EQ(client->pending.size(), 0U) << "30 s after the last answer";
    loop.advance(1s);
    ASSERT_EQ(client->pending.size(), 1U);
    answer();

    window->hide();
    loop.advance(90s);
    EXPECT_EQ(client->pending.size(), 0U) << "not while hidden";
    window->show();
    EXPECT_EQ(client->pending.size(), 1U) << "the missed one, on showing";
}

class PreferencesPageTest : public TempHome {};

TEST_F(PreferencesPageTest, FixedPositionIsCheckedBeforeItIsStored) {
    AppSettings settings;
    PreferencesPage page;
    UserDefaults shared(AppSettings::kAppGroup);
    page.locationSourceBox->setCurrentIndex(page.locationSourceBox->findData("fixed"));
    page.fixedPositionEdit->setText("91,19");
    emit page.fixedPositionEdit->editingFinished();
    EXPECT_FALSE(shared.objectForKey(kLocationFixedKey));
    EXPECT_FALSE(page.locationMessage->text().isEmpty());

    page.fixedPositionEdit->setText("47.4979,19.0402,25");
    emit page.fixedPositionEdit->editingFinished();
    EXPECT_EQ(shared.stringForKey(kLocationFixedKey), "47.4979,19.0402,25");
    EXPECT_EQ(shared.stringForKey(kLocationSourceKey), "fixed");
    EXPECT_TRUE(page.locationMessage->text().isEmpty());
}

TEST_F(PreferencesPageTest, ServerChoiceAndProductionAddress) {
    AppSettings settings;
    writeFile(serverConfigPath(), "# mine\nlocal = https://localhost:9443/v2/\nproduction = https://old.example/v2/\n");
    PreferencesPage page;
    EXPECT_EQ(page.productionServerEdit->text(), "https://old.example/v2/");
    page.developmentServerBox->click();
    EXPECT_EQ(settings.get("useDevelopmentServer"), PlistValue(int64_t{1}));

    std::string error;
    EXPECT_FALSE(PreferencesPage::storeProductionServer("http://plain.example/v2/", error));
    EXPECT_TRUE(PreferencesPage::storeProductionServer("https://new.example/v2/", error));
    std::ostringstream err;
    const ServerBases bases = loadServerBases(err);
    EXPECT_EQ(bases.production, "https://new.example/v2/");
    EXPECT_EQ(bases.local, "https://localhost:9443/v2/");
}

// F5 and Ctrl+R refresh, Shift+F10 opens the selected row's menu (a favourite asks again), Ctrl+, opens the settings.
// No server set: no "Újra", but a button that opens the settings at the production address.
TEST_F(WindowTest, WithoutAServerItOffersTheServerSettings) {
    showActive();
    answer("NOSERVER", std::nullopt);
    EXPECT_EQ(message(), "Hiba (NOSERVER)");
    EXPECT_TRUE(shows(list->serverButton));
    EXPECT_FALSE(shows(list->retryButton));
    list->serverButton->click();
    ASSERT_TRUE(window->settingsDialog() && window->settingsDialog()->isVisible());
    EXPECT_EQ(window->settingsDialog()->focusWidget(), page()->productionServerEdit);

    list->refresh();
    answer("DOWNLOADERROR", std::nullopt);
    EXPECT_FALSE(shows(list->serverButton));
    EXPECT_TRUE(shows(list->retryButton));
}

// "Kapcsolat ellenőrzése" asks the chosen base's /healthz once at a time, without blocking.
TEST_F(PreferencesPageTest, ConnectionCheckShowsTheCitiesOrWhyItFailed) {
    AppSettings settings;
    PreferencesPage page;
    QtUrlSessionFactory sessions;
    ServerCheck check(sessions);
    page.setServerCheck(&check);
    page.checkServerButton->click();
    EXPECT_EQ(page.serverCheckLine->text(), "Nincs beállítva kiszolgáló");

    LoopbackHttps server;
    writeFile(serverConfigPath(), server.localServerLines());
    settings.set("useDevelopmentServer", int64_t{1});
    server.answer(R"({"error":false,"now":0,"cities":[{"cityKey":"mv","cityName":"Mintaváros"}]})");
    page.checkServerButton->click();
    page.checkServerButton->click();
    EXPECT_FALSE(page.checkServerButton->isEnabled());
    const auto checked = [&] { return page.checkServerButton->isEnabled(); };
    ASSERT_TRUE(QTest::qWaitFor(checked, 20000));
    EXPECT_EQ(page.serverCheckLine->text(), "A kiszolgáló elérhető. Városok: Mintaváros");
    ASSERT_EQ(server.seen().size(), 1U);
    EXPECT_EQ(server.seen()[0].method + " " + server.seen()[0].path, "GET /healthz");

    server.stop();
    page.checkServerButton->click();
    ASSERT_TRUE(QTest::qWaitFor(checked, 20000));
    EXPECT_EQ(page.serverCheckLine->text(), "Hálózati hiba: a kapcsolatot elutasították");
}

TEST_F(WindowTest, KeysRefreshOpenTheRowsMenuAndTheSettings) {
    showActive();
    answer();
    for (const QKeyCombination keys : {QKeyCombination(Qt::Key_F5), Qt::CTRL | Qt::Key_R}) {
        QTest::keyClick(&*window, keys.key(), keys.keyboardModifiers());
        EXPECT_EQ(client->pending.size(), 1U) << QKeySequence(keys).toString().toStdString();
        answer();
    }

    DepartureTable* table = list->tarvoTableView;
    table->setFocus();
    table->setCurrentRow(1);
    QStringList seen;
    QTimer::singleShot(0, [&seen] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!menu)
            return;
        for (QAction* action : menu->actions())
            seen << action->text();
        menu->actions().first()->trigger();
        menu->close();
    });
    QTest::keyClick(table, Qt::Key_F10, Qt::ShiftModifier);
    EXPECT_EQ(seen, QStringList({"Kedvenc megálló: Stop 1", "Kedvenc járat: L1"})) << "the selected row's";
    EXPECT_TRUE(AppSettings(true).getStringList("settingFavStopList", "S1")) << "the selected row's stop";
    EXPECT_EQ(client->pending.size(), 1U);

    EXPECT_FALSE(window->settingsDialog());
    showActive();  // again, after the menu
    QTest::keyClick(&*window, Qt::Key_Comma, Qt::ControlModifier);
    ASSERT_TRUE(window->settingsDialog());
    EXPECT_TRUE(window->settingsDialog()->isVisible());
}

TEST_F(WindowTest, AChangedSettingAsksAgainAfterTheQueryUnderWay) {
    window->openSettings();
    emit page()->choiceBox("settingMinutes")->activated(3);
    EXPECT_EQ(client->pending.size(), 1U) << "the first query is still under way";
    answer();
    EXPECT_EQ(client->pending.size(), 1U) << "asked again with the new value";
    answer();
    page()->autoRefreshBox->click();
    EXPECT_EQ(client->pending.size(), 1U);
    EXPECT_EQ(AppSettings(true).get("settingAutoRefresh"), PlistValue(true));
}

// Enter in a text field of the settings must never press a button. "Törlés" removes the entry of
// its own row also after another program changed the list; a removal can be undone.
TEST_F(WindowTest, EnterInTheSettingsKeepsFavouritesAndARemovalTakesItsOwnEntryAndCanBeUndone) {
    AppSettings settings(true);
    settings.setStringList("settingFavStopList", "F01", "Astoria");
    settings.setStringList("settingFavStopList", "F02", "Kossuth tér");
    settings.setStringList("settingFavTripList", "3040", "4-6");
    const auto stored = [&settings] {
        return std::pair(settings.get("settingFavStopList"), settings.get("settingFavTripList"));
    };
    showActive();
    window->openSettings();
    QDialog* dialog = window->settingsDialog();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(dialog));
    settings.setStringList("settingFavStopList", "F00", "Aréna");  // sorts first, after the page showed
    const auto before = stored();
    std::set<QString> titles;  // the sections are told apart
    for (QGroupBox* box : dialog->findChildren<QGroupBox*>())
        EXPECT_TRUE(titles.insert(box->title()).second) << box->title().toStdString();
    const auto edits = dialog->findChildren<QLineEdit*>();
    ASSERT_GE(edits.size(), 2);
    for (QLineEdit* edit : edits) {
        edit->setFocus();
        for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter})
            QTest::keyClick(edit, key);
        EXPECT_EQ(stored(), before) << edit->accessibleName().toStdString();
    }

    auto button = [dialog](const QString& name) {
        for (QPushButton* candidate : dialog->findChildren<QPushButton*>())
            if (candidate->accessibleName() == name)
                return candidate;
        return static_cast<QPushButton*>(nullptr);
    };
    ASSERT_TRUE(button("Törlés: Astoria"));
    button("Törlés: Astoria")->click();
    EXPECT_FALSE(settings.getStringList("settingFavStopList", "F01"));
    EXPECT_TRUE(settings.getStringList("settingFavStopList", "F00") &&
                settings.getStringList("settingFavStopList", "F02"));
    QApplication::processEvents();
    ASSERT_TRUE(button("Visszavonás: Astoria"));
    button("Visszavonás: Astoria")->click();
    EXPECT_EQ(stored(), before);
}

}  // namespace
}  // namespace velmo::test
