#include "core/display/DepartureTable.h"

#include "core/settings/AppSettings.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>

namespace velmo {

DepartureTable::DepartureTable(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::SingleSelection);
    setFocusPolicy(Qt::StrongFocus);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setAccessibleName(QStringLiteral("Induló járatok"));
}

void DepartureTable::setErrorText(std::function<std::string(std::string_view)> errorText) {
    errorText_ = std::move(errorText);
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row))
            cell->setErrorText(errorText_);
}

tarvoCellMac* DepartureTable::rowView(int row) const {
    QListWidgetItem* entry = item(row);
    return entry ? qobject_cast<tarvoCellMac*>(itemWidget(entry)) : nullptr;
}

tarvoCellMac* DepartureTable::makeRowView(int row) {
    if (tarvoCellMac* existing = rowView(row)) {
        existing->prepareForReuse();
        return existing;
    }
    auto* cell = new tarvoCellMac;
    cell->setFocusPolicy(Qt::NoFocus);
    if (errorText_)
        cell->setErrorText(errorText_);
    cell->setDimming(dimming_);
    return cell;
}

void DepartureTable::reloadData() {
    ++reloads_;
    const int rows = source_ ? std::max(0, source_->numberOfRowsInTableView(*this)) : 0;
    while (count() > rows)
        delete takeItem(count() - 1);
    for (int row = 0; row < rows; ++row) {
        tarvoCellMac* cell = source_->rowViewForRow(*this, row);
        if (row >= count())
            addItem(new QListWidgetItem);
        QListWidgetItem* entry = item(row);
        if (cell && itemWidget(entry) != cell)
            setItemWidget(entry, cell);
        if (cell) {
            cell->setDimming(dimming_);
            cell->adjustSize();
            // As wide as the list: the row's text column gives way, the time stays in view.
            entry->setSizeHint(QSize(viewport()->width(), std::max(cell->sizeHint().height(), 64)));
            entry->setData(Qt::AccessibleTextRole, cell->accessibleSentence());
            entry->setToolTip(QString());
        }
    }
    alignColumns();
    if (rows > 0 && !currentItem())
        setCurrentRow(0, QItemSelectionModel::NoUpdate);
    markSelection();
    emit reloaded();
}

void DepartureTable::alignColumns() {
    tarvoCellMac::Columns widest;
    int chrome = 0;
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row)) {
            const tarvoCellMac::Columns hints = cell->columnHints();
            widest = {std::max(widest.line, hints.line), 0, std::max(widest.time, hints.time)};
            chrome = cell->chromeWidth();
        }
    // Too narrow for every column: the line numbers get smaller (to half) before the stop and
    // direction lose their last letters.
    constexpr int kTextColumnMinimum = 96;
    const int room = viewport()->width() - chrome - widest.time - kTextColumnMinimum;
    const int line = std::min(widest.line, std::max(room, widest.line / 2));
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row))
            cell->setColumnWidths(line, widest.time);
}

void DepartureTable::markSelection() {
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row))
            cell->setSelected(item(row)->isSelected());
}

void DepartureTable::selectionChanged(const QItemSelection& selected, const QItemSelection& deselected) {
    QListWidget::selectionChanged(selected, deselected);
    markSelection();
}

void DepartureTable::changeEvent(QEvent* event) {
    QListWidget::changeEvent(event);
    // The rows sit in the viewport, which a palette change of the list does not always reach.
    if (event->type() == QEvent::PaletteChange)
        for (int row = 0; row < count(); ++row)
            if (tarvoCellMac* cell = rowView(row))
                cell->setPalette(viewport()->palette());
}

void DepartureTable::setRowsDimming(tarvoCellMac::Dimming dimming) {
    dimming_ = dimming;
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row))
            cell->setDimming(dimming);
}

int DepartureTable::preferredWidth() const {
    tarvoCellMac::Columns widest;
    int chrome = 0;
    int errors = 0;  // an error row is as wide as its message wants
    for (int row = 0; row < count(); ++row)
        if (tarvoCellMac* cell = rowView(row)) {
            const tarvoCellMac::Columns hints = cell->columnHints();
            widest = {std::max(widest.line, hints.line), std::max(widest.text, hints.text),
                      std::max(widest.time, hints.time)};
            if (hints.line == 0)
                errors = std::max(errors, cell->sizeHint().width());
            else
                chrome = cell->chromeWidth();
        }
    const int departures = widest.line > 0 ? chrome + widest.line + widest.text + widest.time : 0;
    return std::max(errors, departures) + 2 * frameWidth();
}

void DepartureTable::changeFavourite(const FavouriteChange& change) {
    for (int row = 0; row < count(); ++row) {
        tarvoCellMac* cell = rowView(row);
        if (cell && cell->tarvoData && applyFavouriteChange(*cell->tarvoData, change)) {
            cell->fillFromData();
            item(row)->setData(Qt::AccessibleTextRole, cell->accessibleSentence());
        }
    }
    alignColumns();  // a line's star makes its column wider
    if (source_)
        source_->favouriteChanged(*this, change);
    emit favouritesChanged();
}

void DepartureTable::resizeEvent(QResizeEvent* event) {
    QListWidget::resizeEvent(event);
    alignColumns();
    for (int row = 0; row < count(); ++row)
        item(row)->setSizeHint(QSize(viewport()->width(), item(row)->sizeHint().height()));
}

std::unique_ptr<QMenu> DepartureTable::makeFavouritesMenu(int row) {
    tarvoCellMac* cell = rowView(row);
    if (!favourites_ || !cell || !cell->tarvoData)
        return nullptr;
    auto menu = std::make_unique<QMenu>(this);
    addFavouriteActions(*menu, *cell->tarvoData, *favourites_,
                        [this](const FavouriteChange& change) { changeFavourite(change); });
    return menu;
}

void DepartureTable::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Keyboard) {
        showRowMenu();
        return;
    }
    showMenu(itemAt(viewport()->mapFrom(this, event->pos())), event->globalPos());
}

void DepartureTable::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        showRowMenu();
        return;
    }
    QListWidget::keyPressEvent(event);
}

void DepartureTable::showRowMenu() {
    QListWidgetItem* entry = currentItem();
    if (!entry)
        return;
    scrollToItem(entry);
    const QRect row = visualItemRect(entry);
    showMenu(entry, viewport()->mapToGlobal(QPoint(row.left() + 24, row.center().y())));
}

void DepartureTable::showMenu(QListWidgetItem* entry, const QPoint& globalPos) {
    if (!entry)
        return;
    if (std::unique_ptr<QMenu> menu = makeFavouritesMenu(row(entry)))
        menu->exec(globalPos);
}

}  // namespace velmo
