#pragma once
// The widget's one GUI object: the notification-area icon, its menu and the popup with the
// departures. A click on the icon opens or closes the popup; opening is the view
// appearing (a query starts), closing is the view disappearing. Without a notification area
// the popup is an ordinary small window shown at start, whose showing and hiding play the
// same roles.

#include <QObject>
#include <QWidget>

#include <iosfwd>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace velmo {

class DeparturesClient;
class TodayViewController;

// The frame around the controller's view; Esc closes it.
class TodayPopup : public QWidget {
    Q_OBJECT
public:
    TodayPopup(std::unique_ptr<DeparturesClient> client, bool asPopup);
    TodayViewController* controller() const { return controller_; }

signals:
    void closed();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    TodayViewController* controller_ = nullptr;
};

class TrayController : public QObject {
    Q_OBJECT
public:
    // `trayAvailable` is normally QSystemTrayIcon::isSystemTrayAvailable(); without a tray
    // one line saying so goes to `err` and the popup is shown as a window at once.
    TrayController(std::unique_ptr<DeparturesClient> client, bool trayAvailable, std::ostream& err);
    ~TrayController() override;

    TodayPopup* popup() const { return popup_.get(); }
    QMenu* menu() const { return menu_.get(); }

public slots:
    // Opens the popup next to the icon, or closes it when it is open.
    void togglePopup();

private:
    void placePopup();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<TodayPopup> popup_;
    QSystemTrayIcon* icon_ = nullptr;
};

}  // namespace velmo
