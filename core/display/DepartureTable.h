#pragma once
// The departures list shared by the widget's popup and the main window: one tarvoCellMac
// per row, arrow-key navigation, each row's sentence for screen readers, and the favourites
// menu on a right click. Like a platform table it asks its data source for the row count
// and for each row's view when reloaded, handing back the rows it already shows for reuse.
// Shift+F10 and the Menu key open the menu of the current row. The stop column starts at the
// same place in every row, and a selected row's texts stay readable on the selection.

#include "core/display/FavouritesMenu.h"
#include "core/display/tarvoCellMac.h"

#include <QListWidget>
#include <QMenu>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace velmo {

class AppSettings;
class DepartureTable;

class DepartureTableDataSource {
public:
    virtual ~DepartureTableDataSource() = default;
    virtual int numberOfRowsInTableView(DepartureTable& table) = 0;
    // The filled row view for `row`, normally from table.makeRowView(row).
    virtual tarvoCellMac* rowViewForRow(DepartureTable& table, int row) = 0;
    // A favourite was stored from a row's menu. The rows on show already carry the new star;
    // a source that keeps its items marks them too, so that a later reload agrees.
    virtual void favouriteChanged(DepartureTable& table, const FavouriteChange& change) {
        (void)table;
        (void)change;
    }
};

class DepartureTable : public QListWidget {
    Q_OBJECT
public:
    explicit DepartureTable(QWidget* parent = nullptr);

    void setDataSource(DepartureTableDataSource* source) { source_ = source; }
    // Where the favourites menu stores; without it a right click shows no menu.
    void setFavouritesSettings(AppSettings* settings) { favourites_ = settings; }
    // The message of an error row's code, handed to every row view.
    void setErrorText(std::function<std::string(std::string_view)> errorText);

    // Asks the data source for the rows again.
    void reloadData();
    // The row view already at `row`, for reuse, or a new one.
    tarvoCellMac* makeRowView(int row);
    // The row view on show at `row`, or nullptr.
    tarvoCellMac* rowView(int row) const;
    // Fades every row (a new answer is on its way) or only their times (they have grown old);
    // rows made later take the same.
    void setRowsDimming(tarvoCellMac::Dimming dimming);
    tarvoCellMac::Dimming rowsDimming() const { return dimming_; }
    // The width the rows would like: the widest row's own width, with the list's frame.
    int preferredWidth() const;
    // The favourites menu of a row (what a right click opens), or nullptr when the row has none.
    std::unique_ptr<QMenu> makeFavouritesMenu(int row);
    // After the row menu stored a favourite: marks the rows on show at once and tells the
    // data source.
    void changeFavourite(const FavouriteChange& change);

    // How many times reloadData ran (for the controllers' callers and tests).
    int reloadCount() const { return reloads_; }

    // Opens the favourites menu of the current row beside it, as Shift+F10 and the Menu key do.
    void showRowMenu();

signals:
    void reloaded();
    // A favourite was marked or unmarked from a row's menu.
    void favouritesChanged();

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) override;

private:
    void showMenu(QListWidgetItem* entry, const QPoint& globalPos);
    // Gives every line column the widest line's width.
    void alignColumns();
    void markSelection();

    DepartureTableDataSource* source_ = nullptr;
    tarvoCellMac::Dimming dimming_ = tarvoCellMac::Dimming::None;
    AppSettings* favourites_ = nullptr;
    std::function<std::string(std::string_view)> errorText_;
    int reloads_ = 0;
};

}  // namespace velmo
