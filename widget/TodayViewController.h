#pragma once
// TodayViewController: the widget's view. Each time it appears it asks for the departures
// around the user once and shows at most six of them, from all nearby stops or from the
// nearest stop only ("settingTodayStops"); an error becomes one error row. Every applied
// reply is stored whole under "previousReply1". When the view disappears, a late reply is
// ignored.

#include "core/display/DepartureTable.h"
#include "core/display/DeparturesClient.h"
#include "core/settings/AppSettings.h"

#include <QTime>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

class QLabel;

namespace velmo {

class TodayViewController : public QWidget, public DepartureTableDataSource {
    Q_OBJECT
public:
    static constexpr int kRowCap = 6;
    static constexpr int kPreferredHeight = 492;

    explicit TodayViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent = nullptr);
    ~TodayViewController() override;

    // The view appears: applies replies again and starts one query.
    void viewWillAppear();
    // The view disappears: later replies are dropped; the query under way is not stopped.
    void viewDidDisappear();

    int numberOfRowsInTableView(DepartureTable& table) override;
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override;

    QSize sizeHint() const override;

    // The clock of the "Frissítve HH:MM" line.
    void setClock(std::function<QTime()> clock) { clock_ = std::move(clock); }

    DepartureTable* tarvoTableView = nullptr;
    QLabel* updatedLabel = nullptr;
    const std::vector<PlistMap>& items() const { return items_; }
    bool updateEnabled() const { return updateEnabled_; }
    DeparturesClient& tarvo() { return *tarvo_; }

signals:
    // The rows were replaced by a reply.
    void rowsReplaced();

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    // Runs on the main thread.
    void applyReply(const std::optional<std::string>& error, const std::optional<JSON>& first,
                    const std::optional<JSON>& second);

    std::unique_ptr<DeparturesClient> tarvo_;
    AppSettings settings_;
    std::vector<PlistMap> items_;
    bool updateEnabled_ = true;
    // Shown on screen (minimising counts as disappearing).
    bool appeared_ = false;
    std::function<QTime()> clock_;
};

}  // namespace velmo
