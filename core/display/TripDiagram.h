#pragma once
// The stops of one trip drawn as a vertical line: each stop a row with its time (live times
// bold green with the live marker, timetable times grey italic), passed stops faded, the
// user's stop marked, cancelled calls struck through, and the vehicle's icon on the line
// between the stops it travels between. The rows are a list the arrow keys walk; each reads
// as one sentence to a screen reader.

#include "core/service/TripDetails.h"

#include <QAbstractListModel>
#include <QListView>
#include <QStyledItemDelegate>

#include <optional>
#include <string>

namespace velmo {

class TripStopsModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum Role {
        TimeTextRole = Qt::UserRole + 1,  // "HH:MM", local time
        LiveRole,
        PassedRole,
        SelectedRole,
        CancelledRole,
        FirstRole,
        LastRole,
    };

    using QAbstractListModel::QAbstractListModel;

    // A new trip, and the vehicle's place along it (see vehiclePlace) when known.
    void setTrip(TripDetails trip, std::optional<double> vehiclePlace);
    const TripDetails& trip() const { return trip_; }
    std::optional<double> vehiclePlace() const { return place_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;

    // "HH:MM" of a Unix time in the local time zone.
    static QString clockText(std::int64_t unixSeconds);

private:
    QString sentence(int row) const;

    TripDetails trip_;
    std::optional<double> place_;
};

class TripStopDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    // The width of the line column at the row's left.
    static constexpr int kLineColumn = 48;
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

class TripDiagram : public QListView {
    Q_OBJECT
public:
    explicit TripDiagram(QWidget* parent = nullptr);

    // Shows `trip` with the vehicle (an icon of `vehicleType`) where `vehicle` places it, or
    // without a vehicle. The current row stays on the same stop where it can.
    void setTrip(TripDetails trip, const std::optional<VehiclePosition>& vehicle, const std::string& vehicleType);
    TripStopsModel& stops() { return model_; }
    // Where the vehicle's icon is drawn, in viewport coordinates; empty without a vehicle.
    QRect vehicleRect() const;
    QString vehicleIconName() const { return vehicleType_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    TripStopsModel model_;
    QString vehicleType_;
};

}  // namespace velmo
