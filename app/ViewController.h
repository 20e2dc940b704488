#pragma once
// ViewController: the main window's departures list. It asks for the departures around the
// user once, when its view is loaded, and lists every departure of the nearby-stops list;
// the nearest stop's list is kept but not shown. Failures leave the list as it was.

#include "core/display/DepartureTable.h"
#include "core/display/DeparturesClient.h"
#include "core/settings/AppSettings.h"

#include <QWidget>

#include <memory>
#include <vector>

namespace velmo {

class ViewController : public QWidget, public DepartureTableDataSource {
    Q_OBJECT
public:
    // Loading the view: the one query starts here.
    explicit ViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent = nullptr);
    ~ViewController() override;

    int numberOfRowsInTableView(DepartureTable& table) override;
    tarvoCellMac* rowViewForRow(DepartureTable& table, int row) override;
    // Keeps the items in step with a favourite stored from a row's menu.
    void favouriteChanged(DepartureTable& table, const FavouriteChange& change) override;
    // The item of a row, whatever the column.
    const PlistMap& objectValueForRow(int row) const { return items_.at(static_cast<size_t>(row)); }

    DepartureTable* tarvoTableView = nullptr;
    const std::vector<PlistMap>& items() const { return items_; }
    const std::vector<PlistMap>& itemsNearby() const { return itemsNearby_; }

private:
    void viewDidLoad();

    std::unique_ptr<DeparturesClient> tarvo_;
    AppSettings favourites_{true};
    std::vector<PlistMap> items_;
    std::vector<PlistMap> itemsNearby_;
};

}  // namespace velmo
