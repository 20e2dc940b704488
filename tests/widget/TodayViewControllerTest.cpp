// The widget's controller behind a scripted departures source.

#include "core/client/ClientStack.h"
#include "core/display/Contrast.h"
#include "core/display/PositionDialog.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/ServerConfig.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/support/LoopbackHttps.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"
#include "widget/TodayViewController.h"
#include "widget/TrayController.h"

#include <QTest>
#include <QtWidgets>

#include <sstream>
#include <thread>

namespace velmo::test {
namespace {

// `list` with the departure at `index` given other members.
JSON changed(const JSON& list, size_t index, const JSON::Dictionary& members) {
    JSON::Array departures = list.arrayValue();
    JSON::Dictionary departure = departures.at(index).dictionaryValue();
    for (const auto& [key, value] : members)
        departure[key] = value;
    departures[index] = JSON(departure);
    return JSON(departures);
}

class TodayViewControllerTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        settings_ = std::make_unique<AppSettings>();  // first-run values: all nearby stops
        auto fake = std::make_unique<FakeDeparturesClient>();
        client_ = fake.get();
        controller_ = std::make_unique<TodayViewController>(std::move(fake));
        controller_->setClock([this] { return now_; });
    }

    void at(int hour, int minute) { now_ = QDateTime(QDate(2025, 3, 14), QTime(hour, minute)); }

    std::vector<tarvoCellMac::Dimming> dimming() const {
        std::vector<tarvoCellMac::Dimming> rows;
        for (int row = 0; row < controller_->tarvoTableView->count(); ++row)
            rows.push_back(controller_->tarvoTableView->rowView(row)->dimming());
        return rows;
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> shown;
        for (int row = 0; row < controller_->tarvoTableView->count(); ++row)
            shown.push_back(controller_->tarvoTableView->rowView(row)->tarvoLineLabel->text().toStdString());
        return shown;
    }

    QDateTime now_{QDate(2025, 3, 14), QTime(14, 7)};
    std::unique_ptr<AppSettings> settings_;
    FakeDeparturesClient* client_ = nullptr;
    std::unique_ptr<TodayViewController> controller_;
};

// "Járatok száma a widgeten" sets the rows, never more than six, while every departure is stored;
// a change made while the rows are on show counts from the next appearance, before any reply.
TEST_F(TodayViewControllerTest, RowCountFollowsTheSettingAndAllDeparturesAreStored) {
    const std::vector<std::pair<std::optional<int64_t>, int>> cases{{std::nullopt, 3}, {1, 1}, {4, 4}, {6, 6}, {9, 6},
                                                                    {99999, 6},        {0, 6}};
    for (const auto& [setting, rows] : cases) {
        if (setting)
            settings_->set("settingTodayNum", *setting);
        controller_->viewWillAppear();
        EXPECT_EQ(controller_->tarvoTableView->count(), std::min<int>(rows, controller_->items().size()));
        client_->answer(std::nullopt, departureList(8), std::nullopt);
        EXPECT_EQ(controller_->tarvoTableView->count(), rows) << (setting ? *setting : -1);
        controller_->viewDidDisappear();
    }
    const auto stored = settings_->get("previousReply1");
    ASSERT_TRUE(stored && stored->ifList() && stored->ifList()->size() == 8U);
    EXPECT_EQ(stored->ifList()->at(7).ifMap()->at("shortName"), PlistValue("L7"));
}

// While a query runs the rows are faded and the line says so; only departures renew
// "Frissítve"; rows older than two minutes get faded times and their age.
TEST_F(TodayViewControllerTest, StatusLineTellsHowFreshTheRowsAre) {
    using D = tarvoCellMac::Dimming;
    QLabel* line = controller_->updatedLabel;
    controller_->viewWillAppear();
    EXPECT_EQ(line->text(), "Frissítés…");
    client_->answer(std::nullopt, departureList(2), std::nullopt);
    EXPECT_EQ(line->text(), "Frissítve 14:07");
    EXPECT_EQ(dimming(), (std::vector<D>{D::None, D::None}));

    at(14, 9);
    controller_->updateFreshness();
    EXPECT_EQ(line->text(), "Frissítve 14:07");
    controller_->viewWillAppear();
    EXPECT_EQ(line->text(), "Frissítés…");
    EXPECT_EQ(dimming(), (std::vector<D>{D::Whole, D::Whole}));
    client_->answer(std::nullopt, std::nullopt, std::nullopt);  // nothing new: the rows stay, and age
    at(14, 12);
    controller_->updateFreshness();
    EXPECT_EQ(line->text(), "Frissítve 14:07 (5 perce)");
    EXPECT_EQ(dimming(), (std::vector<D>{D::Times, D::Times}));

    controller_->viewWillAppear();
    client_->answer("NOLOCATION", std::nullopt, std::nullopt);
    EXPECT_EQ(line->text(), "Frissítve 14:07");  // an error row has no times to age
    EXPECT_EQ(dimming(), (std::vector<D>{D::None}));
    at(16, 0);
    controller_->viewWillAppear();
    client_->answer(std::nullopt, departureList(1), std::nullopt);
    EXPECT_EQ(line->text(), "Frissítve 16:00");
}

// The row menu names its stop and line; a new favourite shows its star on every row of that
// stop or line at once, and keeps it when the rows are made again.
TEST_F(TodayViewControllerTest, FavouriteFromTheRowMenuShowsItsStarAtOnce) {
    settings_->set("settingTodayNum", int64_t{6});
    controller_->tarvoTableView->resize(420, 400);
    const JSON list = changed(departureList(3), 2, {{"stopId", JSON("S0")}, {"name", JSON("Stop 0")}});
    controller_->viewWillAppear();
    client_->answer(std::nullopt, list, std::nullopt);

    std::unique_ptr<QMenu> menu = controller_->tarvoTableView->makeFavouritesMenu(0);
    ASSERT_TRUE(menu);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Kedvenc megálló: Stop 0");
    EXPECT_EQ(menu->actions()[1]->text(), "Kedvenc járat: L0");
    EXPECT_FALSE(menu->actions()[0]->isChecked() || menu->actions()[1]->isChecked());
    menu->actions()[0]->trigger();
    menu->actions()[1]->trigger();
    auto stop = [this](int row) { return controller_->tarvoTableView->rowView(row)->tarvoStopLabel->text(); };
    auto line = [this](int row) { return controller_->tarvoTableView->rowView(row)->tarvoLineLabel->text(); };
    EXPECT_EQ(stop(0), "★ Stop 0");
    EXPECT_EQ(stop(2), "★ Stop 0");
    EXPECT_EQ(stop(1), "Stop 1");
    EXPECT_EQ(line(0), "L0 ★");
    EXPECT_TRUE(
        controller_->tarvoTableView->item(0)->data(Qt::AccessibleTextRole).toString().contains("Kedvenc járat"));
    EXPECT_EQ(settings_->getSettingsForTableView("settingFavStopList"),
              (std::vector<PlistMap>{{{"text", "Stop 0"}, {"value", "S0"}}}));
    EXPECT_EQ(settings_->getSettingsForTableView("settingFavTripList"),
              (std::vector<PlistMap>{{{"text", "L0"}, {"value", "R0"}}}));

    settings_->set("settingTodayNum", int64_t{2});
    controller_->viewWillAppear();  // the rows are made again from the controller's items
    EXPECT_EQ(stop(0), "★ Stop 0");
    EXPECT_EQ(line(0), "L0 ★");
    menu = controller_->tarvoTableView->makeFavouritesMenu(0);
    EXPECT_TRUE(menu->actions()[0]->isChecked() && menu->actions()[1]->isChecked());
    menu->actions()[1]->trigger();
    EXPECT_EQ(line(0), "L0");
    EXPECT_FALSE(settings_->getStringList("settingFavTripList", "R0"));
    EXPECT_TRUE(settings_->getStringList("settingFavStopList", "S0"));

    controller_->viewWillAppear();  // an error row offers the entries disabled
    client_->answer("NOLOCATION", std::nullopt, std::nullopt);
    menu = controller_->tarvoTableView->makeFavouritesMenu(0);
    ASSERT_TRUE(menu);
    EXPECT_FALSE(menu->actions()[0]->isEnabled() || menu->actions()[1]->isEnabled());
}

TEST_F(TodayViewControllerTest, ReplyAfterDisappearingChangesNothing) {
    controller_->viewWillAppear();
    client_->answer(std::nullopt, departureList(2), departureList(1));
    controller_->viewWillAppear();
    controller_->viewDidDisappear();
    EXPECT_EQ(client_->cancels, 1);
    client_->answer("NOLOCATION", std::nullopt, std::nullopt);

    EXPECT_EQ(lines(), (std::vector<std::string>{"L0", "L1"}));
    EXPECT_EQ(settings_->get("previousReply1")->ifList()->size(), 2U);
}

TEST_F(TodayViewControllerTest, SettingChoosesTheList) {
    const std::vector<std::tuple<int64_t, JSON, std::vector<std::string>>> cases{
        {1, departureList(8, 20), {"L0", "L1"}},
        {2, departureList(3, 20), {"L20", "L21", "L22"}},
        {2, JSON::null(), {}},  // reply without "stopDatesNearby": empty table
    };
    settings_->set("settingTodayNum", int64_t{6});
    for (const auto& [choice, nearby, expected] : cases) {
        settings_->set("settingTodayStops", choice);
        controller_->viewWillAppear();
        client_->answer(std::nullopt, departureList(2), nearby);
        EXPECT_EQ(lines(), expected) << "choice " << choice;
    }
}

TEST_F(TodayViewControllerTest, ReplyFromAnotherThreadIsAppliedOnTheMainThread) {
    controller_->viewWillAppear();
    std::thread worker([this] { client_->answer(std::nullopt, departureList(2), departureList(1)); });
    // The worker waits for the main thread; serve it until it is done.
    while (controller_->tarvoTableView->count() == 0)
        QApplication::processEvents(QEventLoop::AllEvents, 10);
    worker.join();
    EXPECT_EQ(lines(), (std::vector<std::string>{"L0", "L1"}));
}

// The popup is as wide as its rows want, within its bounds and the screen, and 492 high.
TEST_F(TodayViewControllerTest, WidthFollowsTheRows) {
    settings_->set("settingTodayNum", int64_t{6});
    TodayPopup popup(std::make_unique<FakeDeparturesClient>(), false);
    auto& fake = static_cast<FakeDeparturesClient&>(popup.controller()->tarvo());
    popup.show();
    fake.answer(std::nullopt, departureList(2), std::nullopt);
    const int narrow = popup.width();
    EXPECT_GE(narrow, TodayViewController::kMinWidth);
    EXPECT_EQ(popup.controller()->sizeHint().height(), TodayViewController::kPreferredHeight);

    const JSON list =
        changed(departureList(2), 1, {{"name", JSON("Toronyliget állomás, Bolygó és Nagyszénás utca sarka")}});
    popup.controller()->viewWillAppear();
    fake.answer(std::nullopt, list, std::nullopt);
    const int screenWidth = popup.screen()->availableGeometry().width();
    EXPECT_GT(popup.width(), narrow);
    EXPECT_LE(popup.width(), std::min(TodayViewController::kMaxWidth, screenWidth) + 2);
    popup.close();
}

// The popup over the programs' real client: no server set is its error row, and a server set
// in servers.conf counts from the next opening (then asked, here in vain).
class PopupClientTest : public TempHome {};

TEST_F(PopupClientTest, SaysNoServerIsSetUntilOneIs) {
    std::ostringstream log;
    ClientStack stack(ClientOptions{"47.4979,19.0402"}, log, log);
    TodayViewController popup(stack.departuresClient());
    const auto error = [&] {
        return popup.tarvoTableView->count() == 1 ? popup.tarvoTableView->rowView(0)->tarvoErrorLabel->text()
                                                  : QString();
    };
    popup.viewWillAppear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !error().isEmpty(); }, 5000));
    EXPECT_EQ(error(), "Nincs beállítva kiszolgáló");

    LoopbackHttps closed;
    closed.stop();
    writeFile(serverConfigPath(), "production = " + closed.url("/v2/") + "\n");
    popup.viewDidDisappear();
    popup.viewWillAppear();
    ASSERT_TRUE(QTest::qWaitFor([&] { return error() != "Nincs beállítva kiszolgáló"; }, 30000));
    EXPECT_EQ(error(), "Hálózati hiba");
}

class TrayControllerTest : public TempHome {};

TEST(FindMainProgramTest, BesideItselfFirstThenOnThePath) {
    TempDir dir;
    const QString root = QString::fromStdString(dir.path().string());
    for (const char* folder : {"own", "other", "plain"}) {  // plain: a file that is not executable
        const auto file = dir.write(std::string(folder) + "/velmomac", "#!/bin/sh\n");
        std::filesystem::permissions(file, std::string(folder) == "plain" ? std::filesystem::perms::owner_read
                                                                          : std::filesystem::perms::owner_all);
    }
    const std::vector<std::tuple<QString, QString, QString>> cases{
        {"own", "other", "own"}, {"plain", "plain:other", "other"}, {"", "other", "other"}, {"plain", "plain::", ""}};
    for (const auto& [own, path, expected] : cases) {
        QStringList folders;
        for (const QString& folder : path.split(':'))
            folders << (folder.isEmpty() ? QString() : root + "/" + folder);
        EXPECT_EQ(findMainProgram(own.isEmpty() ? QString() : root + "/" + own, folders.join(':')),
                  expected.isEmpty() ? QString() : root + "/" + expected + "/velmomac")
            << own.toStdString() << " " << path.toStdString();
    }
}

TEST_F(TrayControllerTest, OpeningWithoutTheMainProgramSaysWhy) {
    AppSettings settings;
    std::ostringstream err;
    TrayController tray(std::make_unique<FakeDeparturesClient>(), false, err);
    const QString nowhere = QString::fromStdString((root() / "nowhere").string());
    ScopedEnv path("PATH", nowhere.toStdString());
    tray.setOwnDir(nowhere);
    QStringList notices;
    QObject::disconnect(&tray, &TrayController::notice, nullptr, nullptr);  // no dialog in a test
    QObject::connect(&tray, &TrayController::notice, [&notices](const QString& text) { notices << text; });
    tray.menu()->actions().at(0)->trigger();
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].startsWith("A velmomac nem található")) << notices[0].toStdString();
    EXPECT_TRUE(notices[0].contains(nowhere));
    tray.popup()->close();
}

TEST_F(TrayControllerTest, WithoutATrayThePopupIsAWindowShownAtStart) {
    AppSettings settings;
    auto fake = std::make_unique<FakeDeparturesClient>();
    FakeDeparturesClient* client = fake.get();
    std::ostringstream err;
    TrayController tray(std::move(fake), false, err);
    EXPECT_NE(err.str().find("nincs értesítési terület"), std::string::npos);
    EXPECT_TRUE(tray.popup()->isVisible());
    EXPECT_EQ(client->pending.size(), 1U);

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(tray.popup(), &escape);
    EXPECT_FALSE(tray.popup()->isVisible());
    EXPECT_FALSE(tray.popup()->controller()->updateEnabled());

    tray.togglePopup();
    EXPECT_TRUE(tray.popup()->isVisible());
    EXPECT_EQ(client->pending.size(), 2U);
}

// Only a failure to get the position offers one; what is chosen is asked with at once.
TEST_F(TodayViewControllerTest, APositionIsOfferedWhenItCannotBeHadAndAskedWithOnceGiven) {
    controller_->show();
    const auto offered = [this] { return controller_->positionButton->isVisibleTo(controller_.get()); };
    for (const auto& [error, offers] : std::vector<std::pair<std::optional<std::string>, bool>>{
             {"NOSTOPS", false}, {"NOLOCATIONACCESS", true}, {std::nullopt, false}, {"NOLOCATIONDISABLED", true}}) {
        controller_->viewWillAppear();
        client_->answer(error, error ? std::nullopt : std::optional(departureList(2)), std::nullopt);
        EXPECT_EQ(offered(), offers) << error.value_or("departures");
    }
    const size_t asked = client_->pending.size();

    QTest::mouseClick(controller_->positionButton, Qt::LeftButton);
    PositionDialog* dialog = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* found = qobject_cast<PositionDialog*>(window); found && found->isVisible())
            dialog = found;
    ASSERT_NE(dialog, nullptr);
    QTest::keyClicks(dialog->searchBox, "47.5,19.05");
    QTest::keyClick(dialog->searchBox, Qt::Key_Return);  // the row appears
    QTest::keyClick(dialog->searchBox, Qt::Key_Return);  // and is chosen
    const UserDefaults shared(AppSettings::kAppGroup);
    EXPECT_EQ(shared.stringForKey("locationFixed"), "47.5,19.05");
    EXPECT_EQ(shared.stringForKey("locationSource"), "fixed");
    EXPECT_EQ(client_->pending.size(), asked + 1);
}

}  // namespace
}  // namespace velmo::test
