#include "app/ViewController.h"

#include "core/display/tarvoCellMac.h"

#include <QPointer>
#include <QVBoxLayout>

namespace velmo {

namespace {

std::vector<PlistMap> mapsOf(const DeparturesClient& client, const JSON& list) {
    std::vector<PlistMap> maps;
    for (PlistValue& item : itemsFromList(client, list))
        maps.push_back(std::move(*item.ifMap()));
    return maps;
}

}  // namespace

ViewController::ViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent)
    : QWidget(parent), tarvo_(std::move(tarvo)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    tarvoTableView = new DepartureTable(this);
    layout->addWidget(tarvoTableView);
    viewDidLoad();
}

ViewController::~ViewController() = default;

void ViewController::viewDidLoad() {
    tarvoTableView->setDataSource(this);
    tarvoTableView->setFavouritesSettings(&favourites_);
    DeparturesClient* client = tarvo_.get();
    tarvoTableView->setErrorText([client](std::string_view code) { return client->toErrorString(code); });

    QPointer<ViewController> self(this);
    tarvo_->getWithLocation(
        false, [self, client](std::optional<std::string>, std::optional<JSON> first, std::optional<JSON> second,
                              std::optional<std::string>, std::optional<std::string>, std::optional<std::string>,
                              std::optional<std::string>) {
            // Failures are not shown: the list stays as it was.
            if (!first || !self)
                return;
            auto shown = mapsOf(*client, *first);
            auto nearby = second ? mapsOf(*client, *second) : std::vector<PlistMap>{};
            // Installed together on the main thread, later; dropped if the view is gone by then.
            ViewController* view = self.data();
            QMetaObject::invokeMethod(
                view,
                [view, shown = std::move(shown), nearby = std::move(nearby)]() mutable {
                    view->items_ = std::move(shown);
                    view->itemsNearby_ = std::move(nearby);
                    view->tarvoTableView->reloadData();
                },
                Qt::QueuedConnection);
        });
}

int ViewController::numberOfRowsInTableView(DepartureTable&) { return static_cast<int>(items_.size()); }

tarvoCellMac* ViewController::rowViewForRow(DepartureTable& table, int row) {
    tarvoCellMac* cell = table.makeRowView(row);
    cell->tarvoData = items_.at(static_cast<size_t>(row));
    cell->fillFromData();
    return cell;
}

void ViewController::favouriteChanged(DepartureTable&, const FavouriteChange& change) {
    applyFavouriteChange(items_, change);
    applyFavouriteChange(itemsNearby_, change);
}

}  // namespace velmo
