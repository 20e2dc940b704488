#pragma once
// ViewController: the main window's departures list. It asks for the departures around the
// user when its view is loaded and again on request (refresh, a changed setting, and every
// 30 s while shown when "settingAutoRefresh" is on), never two queries at once, and lists
// every departure of the nearby-stops list; the nearest stop's list is kept but not shown.
//
// Above the list it says what the rows are: "Frissítés…" while a query runs, "Frissítve
// HH:MM" after a reply with departures (with the age once the rows are older than two minutes,
// when their times are also dimmed), the Hungarian message of a failure with an "Újra"
// button, or "Nincs induló járat a közelben." for an empty answer. When no server is set it
// says so with a "Kiszolgáló beállítása…" button instead of "Újra". Only a reply with lists
// replaces the rows: a failure leaves them as they were and is shown above them.

#include "core/display/DepartureTable.h"
#include "core/display/DeparturesClient.h"
#include "core/settings/AppSettings.h"
#include "platform/runloop/RunLoop.h"

#include <QPointer>
#include <QWidget>

#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QPushButton;

namespace velmo {

class TripWindow;

class ViewController : public QWidget, public DepartureTableDataSource {
    Q_OBJECT
public:
    static constexpr RunLoop::Seconds kAutoRefreshInterval{30};
    static constexpr RunLoop::Seconds kStaleAfter{120};

    // Loading the view: the first query starts here. `loop` gives the clock and the timers
    // and must outlive the controller.
    ViewController(std::unique_ptr<DeparturesClient> tarvo, RunLoop& loop, QWidget* parent = nullptr);
    ~ViewController() override;

    // Starts a query unless one is under way.
    void refresh();
    // A setting changed: the automatic refresh is read again and the departures are asked
    // for again (after the query under way, if there is one, since it used the old values).
    void settingsChanged();

    int numberOfRowsInTableView(DepartureTable& table) override;
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override;
    // Keeps the items in step with a favourite stored from a row's menu.
    void favouriteChanged(DepartureTable& table, const FavouriteChange& change) override;
    // The item of a row, whatever the column.
    const PlistMap& objectValueForRow(int row) const { return items_.at(static_cast<size_t>(row)); }

    DepartureTable* tarvoTableView = nullptr;
    QLabel* statusLine = nullptr;   // "Frissítve HH:MM", with the age when stale
    QLabel* busyLine = nullptr;     // "Frissítés…" while a query runs
    QLabel* messageLine = nullptr;  // the failure or the empty-list text
    QPushButton* retryButton = nullptr;
    QPushButton* serverButton = nullptr;  // "Kiszolgáló beállítása…", when no server is set
    // "Pozíció megadása", beside a failure to get the position: opens the PositionDialog.
    QPushButton* positionButton = nullptr;
    const std::vector<PlistMap>& items() const { return items_; }
    const std::vector<PlistMap>& itemsNearby() const { return itemsNearby_; }

    // Enter or a double-click on a row: opens the trip window of a departure with details (in
    // place of one already open), or says in statusMessage why there is none.
    void openDetails(int row);
    // The trip window on show, or nullptr.
    TripWindow* tripWindow() const;

signals:
    // "Kiszolgáló beállítása…" was pressed.
    void serverSettingsRequested();
    // A short Hungarian note for the window's status bar.
    void statusMessage(const QString& text);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void viewDidLoad();
    // Runs on the main thread with one reply.
    void apply(std::optional<std::string> error, std::optional<std::vector<PlistMap>> shown,
               std::vector<PlistMap> nearby);
    void updateFreshness();
    void dimTimes(tarvoCellMac& cell) const;
    bool stale() const;
    bool onScreen() const;
    void scheduleAutoRefresh();
    void openPositionDialog();

    std::unique_ptr<DeparturesClient> tarvo_;
    RunLoop& loop_;
    AppSettings settings_{true};
    std::vector<PlistMap> items_;
    std::vector<PlistMap> itemsNearby_;
    std::string cityKey_;           // of the last reply with lists: the trip details ask in that city
    std::int64_t clockOffset_ = 0;  // the service's clock less the local one, as that reply shows
    QPointer<TripWindow> tripWindow_;
    std::optional<RunLoop::TimePoint> answeredAt_;
    bool pending_ = false;
    bool askAgain_ = false;
    bool autoRefresh_ = false;
    bool missedAutoRefresh_ = false;
    QObject* watchedWindow_ = nullptr;
    std::shared_ptr<Timer> ageTimer_;
    std::shared_ptr<Timer> autoTimer_;
    // Replies posted to the main thread check it, so none reaches a destroyed controller.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmo
