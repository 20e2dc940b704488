#pragma once
// The departures list shared by the widget's popup and the main window: one tarvoCellMac
// per row, arrow-key navigation, each row's sentence for screen readers, and the favourites
// menu on a right click. Like a platform table it asks its data source for the row count
// and for each row's view when reloaded, handing back the rows it already shows for reuse.
// Shift+F10 and the Menu key open the menu of the current row.

#include <QListWidget>

#include <functional>
#include <string>
#include <string_view>

namespace velmo {

class AppSettings;
class DepartureTable;
class tarvoCellMac;

class DepartureTableDataSource {
public:
    virtual ~DepartureTableDataSource() = default;
    virtual int numberOfRowsInTableView(DepartureTable& table) = 0;
    // The filled row view for `row`, normally from table.makeRowView(row).
    virtual tarvoCellMac* rowViewForRow(DepartureTable& table, int row) = 0;
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

private:
    void showMenu(QListWidgetItem* entry, const QPoint& globalPos);

    DepartureTableDataSource* source_ = nullptr;
    AppSettings* favourites_ = nullptr;
    std::function<std::string(std::string_view)> errorText_;
    int reloads_ = 0;
};

}  // namespace velmo
