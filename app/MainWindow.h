#pragma once
// The main window: the departures list, a line announcing a newer version when there is
// one, and the settings window (preferences and the beta-updates option). F5, Ctrl+R and
// "Frissítés" ask again; Ctrl+, opens the settings; a setting changed there makes the list
// ask again.

#include <QMainWindow>

#include <QDialog>
#include <QPointer>

#include <memory>

class QLabel;

namespace velmo {

class DeparturesClient;
class RunLoop;
class ServerCheck;
class UserDefaults;
class ViewController;
struct UpdateInfo;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `standardDefaults` (the program's own suite) and `loop` (clock and timers of the list)
    // must outlive the window.
    MainWindow(std::unique_ptr<DeparturesClient> client, UserDefaults& standardDefaults, RunLoop& loop,
               QWidget* parent = nullptr);

    // Shows one line with the new version and its link.
    void showUpdate(const UpdateInfo& info);
    // Opens the settings window, or brings the open one to the front.
    void openSettings();
    // The same, scrolled to the server section with the production address in focus.
    void openServerSettings();
    // What the settings' "Kapcsolat ellenőrzése" asks through; it must outlive the window.
    void setServerCheck(ServerCheck* check) { serverCheck_ = check; }

    ViewController* viewController() const { return viewController_; }
    QLabel* updateLine() const { return updateLine_; }
    QDialog* settingsDialog() const { return settingsDialog_; }

private:
    ViewController* viewController_ = nullptr;
    QLabel* updateLine_ = nullptr;
    QPointer<QDialog> settingsDialog_;
    UserDefaults& standardDefaults_;
    ServerCheck* serverCheck_ = nullptr;
};

}  // namespace velmo
