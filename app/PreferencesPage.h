#pragma once
// The preferences page of the main window, built from the settings catalogue: for each
// labelled key its title, its choices with the current one selected, and its footer; the two
// favourite lists with a remove button per entry; the location source; the server.

#include "core/settings/AppSettings.h"

#include <QWidget>

#include <map>
#include <string>

class QComboBox;
class QLabel;
class QLineEdit;
class QCheckBox;
class QVBoxLayout;

namespace velmo {

class PreferencesPage : public QWidget {
    Q_OBJECT
public:
    // The labelled catalogue keys, in the order the page shows them.
    static const std::vector<std::string> kChoiceKeys;

    explicit PreferencesPage(QWidget* parent = nullptr);

    // The choice box of a labelled key.
    QComboBox* choiceBox(const std::string& key) const;
    // Rebuilds the favourite lists from the store.
    void reloadFavourites();

    QComboBox* locationSourceBox = nullptr;
    QLineEdit* fixedPositionEdit = nullptr;
    QLabel* locationMessage = nullptr;
    QCheckBox* developmentServerBox = nullptr;
    QLineEdit* productionServerEdit = nullptr;
    QLabel* serverMessage = nullptr;
    std::map<std::string, QWidget*> favouriteSections;

    // Stores the production address in servers.conf, keeping the file's other lines; false
    // (nothing written) for an address that is not an https base ending in "v2/".
    static bool storeProductionServer(const std::string& base, std::string& error);

private:
    QWidget* makeChoiceSection(const std::string& key);
    QWidget* makeLocationSection();
    QWidget* makeServerSection();
    void fillFavouriteSection(const std::string& key);
    void storeLocation();

    AppSettings settings_{true};
    std::map<std::string, QComboBox*> choiceBoxes_;
};

}  // namespace velmo
