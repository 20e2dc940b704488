// The main window: its list, the preferences page and the update line.

#include "app/MainWindow.h"
#include "app/PreferencesPage.h"
#include "app/ViewController.h"
#include "core/display/StarLabel.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/ServerConfig.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/LocationSource.h"
#include "platform/update/UpdateChecker.h"
#include "tests/support/TempHome.h"
#include "tests/support/display/DisplayTesting.h"

#include <QtWidgets>

#include <fstream>
#include <sstream>

namespace velmo::test {
namespace {

class ViewControllerTest : public TempHome {};

TEST_F(ViewControllerTest, OneQueryAtLoadAndEveryDepartureShownLater) {
    AppSettings settings;  // first-run values
    auto fake = std::make_unique<FakeDeparturesClient>();
    FakeDeparturesClient& client = *fake;
    ViewController controller(std::move(fake));
    ASSERT_EQ(client.pending.size(), 1U);
    client.answer(std::nullopt, departureList(25), departureList(3, 40));
    EXPECT_EQ(controller.tarvoTableView->count(), 0) << "installed later, on the main loop";
    QApplication::processEvents();
    EXPECT_EQ(controller.tarvoTableView->count(), 25);
    EXPECT_EQ(controller.tarvoTableView->rowView(24)->tarvoLineLabel->text(), "L24");
    EXPECT_EQ(client.pending.size(), 0U) << "no further query";
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

// The list changed by another program after the page showed it: "Törlés" removes the entry
// of its own row, not whichever one now stands at that position.
TEST_F(PreferencesPageTest, RemoveTakesItsOwnEntryAfterTheListChanged) {
    const char* const stops = "settingFavStopList";
    AppSettings settings(true);
    settings.setStringList(stops, "S1", "Astoria");
    settings.setStringList(stops, "S2", "Béke tér");
    PreferencesPage page;
    settings.setStringList(stops, "S0", "Aréna");  // sorts first
    QPushButton* remove = nullptr;
    for (QPushButton* button : page.favouriteSections.at(stops)->findChildren<QPushButton*>())
        if (button->accessibleName() == "Törlés: Béke tér")
            remove = button;
    ASSERT_NE(remove, nullptr);
    remove->click();
    EXPECT_FALSE(settings.getStringList(stops, "S2"));
    EXPECT_TRUE(settings.getStringList(stops, "S1"));
    EXPECT_TRUE(settings.getStringList(stops, "S0"));
}

class MainWindowTest : public TempHome {};

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

}  // namespace
}  // namespace velmo::test
