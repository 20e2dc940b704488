// The main window's list, the beta option and the preferences page.

#include "DisplayTesting.h"

#include "app/AppDelegate.h"
#include "app/MainWindow.h"
#include "app/PreferencesPage.h"
#include "app/SettingsViewController.h"
#include "app/ViewController.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/ServerConfig.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/LocationSource.h"
#include "platform/update/UpdateChecker.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <fstream>
#include <sstream>

namespace velmo::test {
namespace {

class ViewControllerTest : public DisplayFixture {
protected:
    void SetUp() override {
        DisplayFixture::SetUp();
        AppSettings settings;  // first-run values
        auto fake = std::make_unique<FakeDeparturesClient>();
        client_ = fake.get();
        controller_ = std::make_unique<ViewController>(std::move(fake));
    }
    void settle() { QApplication::processEvents(); }

    FakeDeparturesClient* client_ = nullptr;
    std::unique_ptr<ViewController> controller_;
};

TEST_F(ViewControllerTest, OneQueryAtLoadAndEveryDepartureShown) {
    ASSERT_EQ(client_->pending.size(), 1U);
    client_->answer(std::nullopt, departureList(25), departureList(3, 40));
    EXPECT_EQ(controller_->tarvoTableView->count(), 0) << "installed later, on the main loop";
    settle();
    EXPECT_EQ(controller_->tarvoTableView->count(), 25);
    EXPECT_EQ(controller_->tarvoTableView->rowView(24)->tarvoLineLabel->text(), "L24");
    EXPECT_EQ(controller_->itemsNearby().size(), 3U);
    EXPECT_EQ(controller_->objectValueForRow(3).at("shortName"), PlistValue("L3"));
    EXPECT_EQ(client_->pending.size(), 0U) << "no further query";
}

TEST_F(ViewControllerTest, FailuresLeaveTheListAsItWas) {
    client_->answer("NOLOCATION", std::nullopt, std::nullopt);
    settle();
    EXPECT_EQ(controller_->tarvoTableView->count(), 0);
    EXPECT_EQ(controller_->tarvoTableView->reloadCount(), 0);
}

TEST_F(ViewControllerTest, NearbyListIsNeverShownAndObjectListsGiveOneRowPerMember) {
    JSON::Dictionary members{{"a", departureJson(7)}, {"b", departureJson(8)}};
    client_->answer(std::nullopt, JSON(members), departureList(9, 60));
    settle();
    ASSERT_EQ(controller_->tarvoTableView->count(), 2);
    for (int row = 0; row < 2; ++row)
        EXPECT_NE(controller_->tarvoTableView->rowView(row)->tarvoLineLabel->text().left(2), "L6");
    EXPECT_EQ(controller_->itemsNearby().size(), 9U);
}

TEST_F(ViewControllerTest, MissingFirstListMemberGivesAnEmptyList) {
    client_->answer(std::nullopt, JSON::null(), JSON::null());
    settle();
    EXPECT_EQ(controller_->tarvoTableView->count(), 0);
    EXPECT_EQ(controller_->tarvoTableView->reloadCount(), 1);
}

class SettingsViewControllerTest : public DisplayFixture {};

TEST_F(SettingsViewControllerTest, CheckboxShowsAndStoresTheBetaFeed) {
    UserDefaults defaults("velmomac");
    {
        SettingsViewController view(defaults);
        EXPECT_FALSE(view.allowBetaCheckbox->isChecked());
        view.allowBetaCheckbox->click();
        EXPECT_EQ(defaults.stringForKey("SUFeedURL"), "https://beta.velmomac.example/");
        view.allowBetaCheckbox->click();
        EXPECT_FALSE(defaults.objectForKey("SUFeedURL"));
        view.allowBetaCheckbox->setChecked(false);
        view.allowBetaCheckboxClicked();  // already absent: stays absent
        EXPECT_FALSE(defaults.objectForKey("SUFeedURL"));
    }
    defaults.setObject("SUFeedURL", "https://elsewhere.example/feed");
    SettingsViewController again(defaults);
    EXPECT_TRUE(again.allowBetaCheckbox->isChecked());
    EXPECT_FALSE(again.allowBetaCheckbox->accessibleName().isEmpty());
}

class PreferencesPageTest : public DisplayFixture {};

TEST_F(PreferencesPageTest, ChoicesComeFromTheCatalogueAndStoreThroughIt) {
    AppSettings settings;
    PreferencesPage page;
    QComboBox* minutes = page.choiceBox("settingMinutes");
    ASSERT_NE(minutes, nullptr);
    EXPECT_EQ(minutes->count(), 12);
    EXPECT_EQ(minutes->currentText(), "fél órában");
    EXPECT_EQ(minutes->accessibleName(), "Járatok a következő");

    QComboBox* favTrip = page.choiceBox("settingFavTrip");
    EXPECT_EQ(favTrip->currentText(), "irányonként egy-egy");
    emit favTrip->activated(3);
    EXPECT_EQ(settings.get("settingFavTrip"), PlistValue(int64_t{3}));
    emit minutes->activated(11);
    EXPECT_EQ(settings.get("settingMinutes"), PlistValue(int64_t{60}));
    emit page.choiceBox("settingFavStopRadius")->activated(0);
    EXPECT_EQ(settings.get("settingFavStopRadius"), PlistValue(-1.0F));
}

TEST_F(PreferencesPageTest, FavouritesCanBeRemovedOneByOne) {
    AppSettings settings;
    settings.setStringList("settingFavStopList", "S1", "Astoria");
    settings.setStringList("settingFavStopList", "S2", "Blaha Lujza tér");
    PreferencesPage page;
    auto buttons = page.favouriteSections.at("settingFavStopList")->findChildren<QPushButton*>();
    ASSERT_EQ(buttons.size(), 2);
    EXPECT_EQ(buttons[0]->accessibleName(), "Törlés: Astoria");
    buttons[0]->click();
    EXPECT_FALSE(settings.getStringList("settingFavStopList", "S1"));
    EXPECT_TRUE(settings.getStringList("settingFavStopList", "S2"));
}

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
    {
        std::ofstream conf(serverConfigPath());
        conf << "# mine\nlocal = https://localhost:9443/v2/\nproduction = https://old.example/v2/\n";
    }
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

class MainWindowTest : public DisplayFixture {};

TEST_F(MainWindowTest, NewerVersionShowsOneLineWithItsLink) {
    AppSettings settings;
    UserDefaults defaults("velmomac");
    MainWindow window(std::make_unique<FakeDeparturesClient>(), defaults);
    EXPECT_FALSE(window.updateLine()->isVisibleTo(&window));
    window.showUpdate(UpdateInfo{"0.2.0", 12, "https://velmomac.example/dl", "Újdonságok"});
    EXPECT_TRUE(window.updateLine()->isVisibleTo(&window));
    EXPECT_TRUE(window.updateLine()->text().contains("0.2.0"));
    EXPECT_TRUE(window.updateLine()->text().contains("href=\"https://velmomac.example/dl\""));
}

TEST(AppDelegateTest, LastWindowClosedQuitsAndCloudNoticeIsOneLine) {
    QApplication::setQuitOnLastWindowClosed(false);
    AppDelegate delegate(*qApp);
    EXPECT_TRUE(QApplication::quitOnLastWindowClosed());
    std::ostringstream out;
    AppDelegate::onUbiquitousKeyValueStoreDidChangeExternally("change", out);
    EXPECT_EQ(out.str(), "change\n");
}

}  // namespace
}  // namespace velmo::test
