#pragma once
// The main window: the departures list, a line announcing a newer version when there is
// one, and the settings window (preferences and the beta-updates option).

#include <QMainWindow>

#include <memory>

class QLabel;

namespace velmo {

class DeparturesClient;
class UserDefaults;
class ViewController;
struct UpdateInfo;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `standardDefaults` (the program's own suite) must outlive the window.
    MainWindow(std::unique_ptr<DeparturesClient> client, UserDefaults& standardDefaults, QWidget* parent = nullptr);

    // Shows one line with the new version and its link.
    void showUpdate(const UpdateInfo& info);
    void openSettings();

    ViewController* viewController() const { return viewController_; }
    QLabel* updateLine() const { return updateLine_; }

private:
    ViewController* viewController_ = nullptr;
    QLabel* updateLine_ = nullptr;
    UserDefaults& standardDefaults_;
};

}  // namespace velmo
