#include "core/display/DepartureTable.h"

#include "core/display/FavouritesMenu.h"
#include "core/display/tarvoCellMac.h"

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
            cell->adjustSize();
            // As wide as the list: the row's text column gives way, the time stays in view.
            entry->setSizeHint(QSize(viewport()->width(), std::max(cell->sizeHint().height(), 64)));
            entry->setData(Qt::AccessibleTextRole, cell->accessibleSentence());
            entry->setToolTip(QString());
        }
    }
    if (rows > 0 && !currentItem())
        setCurrentRow(0, QItemSelectionModel::NoUpdate);
    emit reloaded();
}

void DepartureTable::resizeEvent(QResizeEvent* event) {
    QListWidget::resizeEvent(event);
    for (int row = 0; row < count(); ++row)
        item(row)->setSizeHint(QSize(viewport()->width(), item(row)->sizeHint().height()));
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
    tarvoCellMac* cell = entry ? qobject_cast<tarvoCellMac*>(itemWidget(entry)) : nullptr;
    if (!favourites_ || !cell || !cell->tarvoData)
        return;
    QMenu menu(this);
    addFavouriteActions(menu, *cell->tarvoData, *favourites_);
    for (QAction* action : menu.actions())
        connect(action, &QAction::toggled, this, &DepartureTable::favouritesChanged);
    menu.exec(globalPos);
}

}  // namespace velmo
