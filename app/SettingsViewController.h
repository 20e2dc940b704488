#pragma once
// SettingsViewController: the beta-updates option. Ticking the checkbox stores the beta
// feed address under "SUFeedURL" in the program's standard defaults, unticking removes
// it; the update check takes its feed from there.

#include <QWidget>

class QCheckBox;

namespace velmo {

class UserDefaults;

inline constexpr const char* kBetaUpdateFeed = "https://beta.velmomac.example/";

class SettingsViewController : public QWidget {
    Q_OBJECT
public:
    // `defaults` is the program's standard defaults and must outlive the controller.
    explicit SettingsViewController(UserDefaults& defaults, QWidget* parent = nullptr);

    // Shows the stored state: ticked when any string is stored under "SUFeedURL".
    void viewDidLoad();
    // Stores the checkbox's state.
    void allowBetaCheckboxClicked();

    QCheckBox* allowBetaCheckbox = nullptr;

private:
    UserDefaults& defaults_;
};

}  // namespace velmo
