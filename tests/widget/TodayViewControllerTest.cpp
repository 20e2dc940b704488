// The widget's controller behind a scripted departures source.

#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"
#include "widget/TodayViewController.h"
#include "widget/TrayController.h"

#include <QtWidgets>

#include <sstream>
#include <thread>

namespace velmo::test {
namespace {

class TodayViewControllerTest : public TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        settings_ = std::make_unique<AppSettings>();  // first-run values: all nearby stops
        auto fake = std::make_unique<FakeDeparturesClient>();
        client_ = fake.get();
        controller_ = std::make_unique<TodayViewController>(std::move(fake));
        controller_->setClock([] { return QTime(14, 7); });
    }

    std::vector<std::string> lines() const {
        std::vector<std::string> shown;
        for (int row = 0; row < controller_->tarvoTableView->count(); ++row)
            shown.push_back(controller_->tarvoTableView->rowView(row)->tarvoLineLabel->text().toStdString());
        return shown;
    }

    std::unique_ptr<AppSettings> settings_;
    FakeDeparturesClient* client_ = nullptr;
    std::unique_ptr<TodayViewController> controller_;
};

TEST_F(TodayViewControllerTest, ShowsSixRowsAndStoresAllTen) {
    controller_->viewWillAppear();
    ASSERT_EQ(client_->pending.size(), 1U);
    client_->answer(std::nullopt, departureList(10), departureList(2, 50));

    EXPECT_EQ(lines(), (std::vector<std::string>{"L0", "L1", "L2", "L3", "L4", "L5"}));
    EXPECT_EQ(controller_->items().size(), 10U);
    const auto stored = settings_->get("previousReply1");
    ASSERT_TRUE(stored && stored->ifList() && stored->ifList()->size() == 10U);
    EXPECT_EQ(stored->ifList()->at(9).ifMap()->at("shortName"), PlistValue("L9"));
    EXPECT_EQ(controller_->updatedLabel->text(), "Frissítve 14:07");
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

// A reply without lists keeps the rows; an error replaces them with one error row.
TEST_F(TodayViewControllerTest, ReplyWithoutListsKeepsTheRowsAndAnErrorReplacesThem) {
    for (int i = 0; i < 3; ++i)
        controller_->viewWillAppear();
    client_->answer(std::nullopt, departureList(3), departureList(1));
    client_->answer(std::nullopt, std::nullopt, std::nullopt);
    EXPECT_EQ(lines(), (std::vector<std::string>{"L0", "L1", "L2"}));
    client_->answer("NOLOCATIONACCESS", std::nullopt, std::nullopt);
    ASSERT_EQ(controller_->tarvoTableView->count(), 1);
    EXPECT_EQ(controller_->tarvoTableView->rowView(0)->tarvoErrorLabel->text(), "Hiba (NOLOCATIONACCESS)");
}

TEST_F(TodayViewControllerTest, SettingChoosesTheList) {
    const std::vector<std::tuple<int64_t, JSON, std::vector<std::string>>> cases{
        {1, departureList(8, 20), {"L0", "L1"}},
        {2, departureList(3, 20), {"L20", "L21", "L22"}},
        {2, JSON::null(), {}},  // reply without "stopDatesNearby": empty table
    };
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

class TrayControllerTest : public TempHome {};

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

}  // namespace
}  // namespace velmo::test
