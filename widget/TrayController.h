#pragma once
// The widget's one GUI object: the notification-area icon, its menu and the popup with the
// departures. A click on the icon opens or closes the popup; opening is the view
// appearing (a query starts), closing is the view disappearing. Without a notification area
// the popup is an ordinary small window shown at start, whose showing and hiding play the
// same roles.

#include <QObject>
#include <QString>
#include <QWidget>

#include <iosfwd>
#include <memory>

class QMenu;
class QSystemTrayIcon;

namespace velmo {

class DeparturesClient;
class TodayViewController;

// Where the velmomac program is: in `ownDir` (the folder of this executable) first, then in
// the folders of `path` (PATH's form, ':'-separated); empty when in neither.
QString findMainProgram(const QString& ownDir, const QString& path);

// The frame around the controller's view; Esc closes it.
class TodayPopup : public QWidget {
    Q_OBJECT
public:
    TodayPopup(std::unique_ptr<DeparturesClient> client, bool asPopup);
    TodayViewController* controller() const { return controller_; }
    // Takes the width the rows want; an open popup keeps its right edge and stays on screen.
    void fitToContent();

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
    // Where "velmomac megnyitása" looks first (normally the folder of this executable).
    void setOwnDir(const QString& dir) { ownDir_ = dir; }

signals:
    // A Hungarian message for the user; shown next to the icon, or in a dialog without one.
    void notice(const QString& text);

public slots:
    // Opens the popup next to the icon, or closes it when it is open.
    void togglePopup();
    // Starts velmomac; when it cannot be found or started, says so.
    void openMainProgram();

private:
    void placePopup();

    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<TodayPopup> popup_;
    QSystemTrayIcon* icon_ = nullptr;
    QString ownDir_;
};

}  // namespace velmo
