#pragma once
// TodayViewController: the widget's view. Each time it appears it asks for the departures
// around the user once and shows as many of them as "settingTodayNum" says (at most six), from
// all nearby stops or from the nearest stop only ("settingTodayStops"); an error becomes one
// error row. Every applied reply is stored whole under "previousReply1". When the view
// disappears, a late reply is ignored.
//
// The line under the list says how fresh the rows are: "Frissítés…" (rows faded) while a query
// runs, "Frissítve HH:MM" after a reply with departures, and how old they are once they are
// older than two minutes (their times faded).

#include "core/display/DepartureTable.h"
#include "core/display/DeparturesClient.h"
#include "core/settings/AppSettings.h"

#include <QDateTime>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QLabel;
class QPushButton;
class QTimer;

namespace velmo {

class TodayViewController : public QWidget, public DepartureTableDataSource {
    Q_OBJECT
public:
    static constexpr int kRowCap = 6;
    static constexpr int kPreferredHeight = 492;
    // The popup's width follows its rows within these bounds, and never exceeds the screen.
    static constexpr int kMinWidth = 320;
    static constexpr int kMaxWidth = 640;
    // Rows older than this have their times faded.
    static constexpr int kStaleSeconds = 120;

    explicit TodayViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent = nullptr);
    ~TodayViewController() override;

    // The view appears: applies replies again and starts one query.
    void viewWillAppear();
    // The view disappears: later replies are dropped; the query under way is not stopped.
    void viewDidDisappear();

    int numberOfRowsInTableView(DepartureTable& table) override;
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override;
    void favouriteChanged(DepartureTable& table, const FavouriteChange& change) override;

    // How many rows the popup shows: "settingTodayNum", at most kRowCap.
    int rowCap() const;
    // As wide as the widest row (within kMinWidth and kMaxWidth, and the screen), 492 high.
    QSize sizeHint() const override;

    // The clock of the "Frissítve HH:MM" line and of the rows' age.
    void setClock(std::function<QDateTime()> clock) { clock_ = std::move(clock); }
    // Looks at the rows' age again (a timer does it every few seconds while shown).
    void updateFreshness();

    DepartureTable* tarvoTableView = nullptr;
    QLabel* updatedLabel = nullptr;
    // "Pozíció megadása" under an error row saying the position could not be had; opens the
    // PositionDialog, and a stored position is asked with at once.
    QPushButton* positionButton = nullptr;
    const std::vector<PlistMap>& items() const { return items_; }
    bool updateEnabled() const { return updateEnabled_; }
    DeparturesClient& tarvo() { return *tarvo_; }

signals:
    // The rows were replaced by a reply.
    void rowsReplaced();
    // The rows' own width changed (new rows, a star added or removed).
    void contentWidthChanged();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    // Runs on the main thread.
    void applyReply(const std::optional<std::string>& error, const std::optional<JSON>& first,
                    const std::optional<JSON>& second);
    void colourStatusLine();
    void openPositionDialog();

    std::unique_ptr<DeparturesClient> tarvo_;
    AppSettings settings_;
    std::vector<PlistMap> items_;
    bool updateEnabled_ = true;
    // Shown on screen (minimising counts as disappearing).
    bool appeared_ = false;
    // A query is under way and no reply has come since the view appeared.
    bool refreshing_ = false;
    // When a reply last brought departures, and whether the rows on show are departures.
    std::optional<QDateTime> updatedAt_;
    bool rowsAreDepartures_ = false;
    QTimer* freshnessTimer_ = nullptr;
    std::function<QDateTime()> clock_;
};

}  // namespace velmo
