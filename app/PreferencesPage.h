#pragma once
// The preferences page of the main window, built from the settings catalogue: for each
// labelled key its title, its choices with the current one selected, and its footer; the
// automatic refresh of the main window; the two favourite lists with a remove button per
// entry and a way back after a removal; the location source; the server, with a check of
// the connection to the chosen one ("Kapcsolat ellenőrzése"). No button of the
// page is a default button, so Enter in a text field never presses one.

#include "core/settings/AppSettings.h"

#include <QWidget>

#include <map>
#include <optional>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QCheckBox;
class QPushButton;
class QVBoxLayout;

namespace velmo {

class ServerCheck;

class PreferencesPage : public QWidget {
    Q_OBJECT
public:
    // The labelled catalogue keys, in the order the page shows them.
    static const std::vector<std::string> kChoiceKeys;

    explicit PreferencesPage(QWidget* parent = nullptr);

    // The title of a key's section on this page: the catalogue's title, except that the
    // favourite stops' radius is named apart from the search radius.
    static QString sectionTitle(const AppSettings& settings, const std::string& key);

    // The choice box of a labelled key.
    QComboBox* choiceBox(const std::string& key) const;
    // Rebuilds the favourite lists from the store.
    void reloadFavourites();
    // What "Kapcsolat ellenőrzése" asks through; without one the button is disabled. It must
    // outlive the page.
    void setServerCheck(ServerCheck* check);

    QComboBox* locationSourceBox = nullptr;
    QLineEdit* fixedPositionEdit = nullptr;
    QLabel* locationMessage = nullptr;
    QCheckBox* autoRefreshBox = nullptr;
    QCheckBox* developmentServerBox = nullptr;
    QLineEdit* productionServerEdit = nullptr;
    QLabel* serverMessage = nullptr;
    QPushButton* checkServerButton = nullptr;
    QLabel* serverCheckLine = nullptr;  // the cities served, or why the check failed
    std::map<std::string, QWidget*> favouriteSections;

    // Stores the production address in servers.conf, keeping the file's other lines; false
    // (nothing written) for an address that is not an https base ending in "v2/".
    static bool storeProductionServer(const std::string& base, std::string& error);

signals:
    // Something was stored.
    void settingsChanged();

private:
    struct Removed {
        std::string raw;
        std::string display;
    };

    QWidget* makeChoiceSection(const std::string& key);
    QWidget* makeAutoRefreshSection();
    QWidget* makeLocationSection();
    QWidget* makeServerSection();
    void fillFavouriteSection(const std::string& key);
    void storeLocation();
    void checkServer();

    AppSettings settings_{true};
    ServerCheck* serverCheck_ = nullptr;
    std::map<std::string, QComboBox*> choiceBoxes_;
    // The last entry removed from each favourite list, until it is put back.
    std::map<std::string, Removed> removed_;
};

}  // namespace velmo
