#include "core/display/TripDiagram.h"

#include "core/display/Contrast.h"
#include "core/display/tarvoCellMac.h"

#include <QDateTime>
#include <QFile>
#include <QIcon>
#include <QPainter>
#include <QPainterPath>

#include <cmath>

// The icons live in the display library's resources (see tarvoCellMac.cpp).
static void initTripResources() { Q_INIT_RESOURCE(velmo); }

namespace velmo {

namespace {

constexpr int kIconSize = 28;

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

// --- TripStopsModel -------------------------------------------------------------------------

void TripStopsModel::setTrip(TripDetails trip, std::optional<double> vehiclePlace) {
    beginResetModel();
    trip_ = std::move(trip);
    place_ = vehiclePlace;
    endResetModel();
}

int TripStopsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(trip_.stops.size());
}

QString TripStopsModel::clockText(std::int64_t unixSeconds) {
    return QDateTime::fromSecsSinceEpoch(unixSeconds).toLocalTime().toString(QStringLiteral("HH:mm"));
}

QVariant TripStopsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const int row = index.row();
    const TripStop& stop = trip_.stops[static_cast<std::size_t>(row)];
    const bool last = row + 1 == rowCount();
    switch (role) {
        case Qt::DisplayRole: return qs(stop.name);
        case Qt::AccessibleTextRole:
        case Qt::ToolTipRole: return sentence(row);
        case TimeTextRole: return clockText(stopTime(stop, last));
        case LiveRole: return stop.live;
        case PassedRole: return stop.passed;
        case SelectedRole: return stop.selected;
        case CancelledRole: return stop.cancelled;
        case FirstRole: return row == 0;
        case LastRole: return last;
        default: return {};
    }
}

QString TripStopsModel::sentence(int row) const {
    const TripStop& stop = trip_.stops[static_cast<std::size_t>(row)];
    QString text = QStringLiteral("%1, %2 %3")
                       .arg(qs(stop.name), clockText(stopTime(stop, row + 1 == rowCount())),
                            stop.live ? QStringLiteral("(élő GPS-adat)") : QStringLiteral("(menetrend szerint)"));
    text += stop.passed ? QStringLiteral(", a jármű már elhagyta.") : QStringLiteral(", még hátravan.");
    if (stop.selected)
        text += QStringLiteral(" A te megállód.");
    if (stop.cancelled)
        text += QStringLiteral(" Elmarad.");
    if (place_) {
        if (*place_ == row)
            text += QStringLiteral(" A jármű itt van.");
        else if (*place_ > row - 1 && *place_ < row)
            text += QStringLiteral(" A jármű ide tart.");
    }
    return text;
}

// --- TripStopDelegate -----------------------------------------------------------------------

QSize TripStopDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex&) const {
    return {kLineColumn + 200, std::max(option.fontMetrics.height() * 2 + 4, 36)};
}

void TripStopDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QWidget* widget = opt.widget;
    QStyle* style = widget ? widget->style() : nullptr;
    const bool current = opt.state & QStyle::State_Selected;
    const bool passed = index.data(TripStopsModel::PassedRole).toBool();
    const bool mine = index.data(TripStopsModel::SelectedRole).toBool();
    const bool cancelled = index.data(TripStopsModel::CancelledRole).toBool();
    const bool live = index.data(TripStopsModel::LiveRole).toBool();
    const QRect rect = opt.rect;
    const QPalette& palette = opt.palette;

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    QColor background = palette.color(QPalette::Base);
    if (current) {
        opt.text.clear();
        if (style)
            style->drawPrimitive(QStyle::PE_PanelItemViewItem, &opt, painter, widget);
        background = palette.color(QPalette::Highlight);
    } else if (mine) {
        // The user's stop: a band of the highlight, faint enough for every text to stay readable.
        QColor band = palette.color(QPalette::Highlight);
        band.setAlphaF(0.18);
        painter->fillRect(rect, band);
        background = over(band, background);
    }
    const QColor text = palette.color(current ? QPalette::HighlightedText : QPalette::Text);
    auto ink = [&](const QColor& wanted, bool faded) {
        const QColor colour = readableColor(current ? text : wanted, background);
        return faded ? dimmedColor(colour, background) : colour;
    };

    // The line: travelled parts faded, a dot at the stop (larger and filled at the user's stop).
    const int x = rect.left() + kLineColumn / 2;
    const int y = rect.center().y();
    const QColor lineAhead = ink(text, false);
    const QColor lineDone = ink(text, true);
    const bool nextPassed = index.siblingAtRow(index.row() + 1).data(TripStopsModel::PassedRole).toBool();
    if (!index.data(TripStopsModel::FirstRole).toBool()) {
        painter->setPen(QPen(passed ? lineDone : lineAhead, 4, Qt::SolidLine, Qt::FlatCap));
        painter->drawLine(x, rect.top(), x, y);
    }
    if (!index.data(TripStopsModel::LastRole).toBool()) {
        painter->setPen(QPen(nextPassed ? lineDone : lineAhead, 4, Qt::SolidLine, Qt::FlatCap));
        painter->drawLine(x, y, x, rect.bottom() + 1);
    }
    const int radius = mine ? 8 : 6;
    QPen dotPen(passed ? lineDone : lineAhead, 3);
    if (cancelled)
        dotPen.setStyle(Qt::DotLine);
    painter->setPen(dotPen);
    painter->setBrush(mine ? ink(palette.color(QPalette::Highlight), passed) : background);
    painter->drawEllipse(QPoint(x, y), radius, radius);

    // Time at the right, the name between.
    QFont timeFont = opt.font;
    timeFont.setBold(live);
    timeFont.setItalic(!live);
    timeFont.setStrikeOut(cancelled);
    QString time = index.data(TripStopsModel::TimeTextRole).toString();
    if (live)
        time = QStringLiteral("● ") + time;
    const QFontMetrics timeMetrics(timeFont);
    const int timeWidth = timeMetrics.horizontalAdvance(time);
    const QRect timeRect(rect.right() - 8 - timeWidth, rect.top(), timeWidth, rect.height());
    painter->setFont(timeFont);
    painter->setPen(ink(live ? tarvoCellMac::kLiveColour : tarvoCellMac::kTimetableColour, passed));
    painter->drawText(timeRect, Qt::AlignVCenter | Qt::AlignRight, time);

    QFont nameFont = opt.font;
    nameFont.setBold(mine);
    nameFont.setStrikeOut(cancelled);
    const QRect nameRect(rect.left() + kLineColumn, rect.top(), timeRect.left() - 12 - rect.left() - kLineColumn,
                         rect.height());
    painter->setFont(nameFont);
    painter->setPen(ink(text, passed));
    const QString name = QFontMetrics(nameFont).elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight,
                                                           std::max(nameRect.width(), 0));
    painter->drawText(nameRect, Qt::AlignVCenter | Qt::AlignLeft, name);
    painter->restore();
}

// --- TripDiagram ----------------------------------------------------------------------------

TripDiagram::TripDiagram(QWidget* parent) : QListView(parent) {
    initTripResources();
    setModel(&model_);
    setItemDelegate(new TripStopDelegate(this));
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setAccessibleName(QStringLiteral("A járat megállói"));
}

void TripDiagram::setTrip(TripDetails trip, const std::optional<VehiclePosition>& vehicle,
                          const std::string& vehicleType) {
    const QModelIndex before = currentIndex();
    const std::string currentStop =
        before.isValid() ? model_.trip().stops[static_cast<std::size_t>(before.row())].id : std::string();
    std::optional<double> place;
    if (vehicle)
        place = vehiclePlace(trip.stops, *vehicle);
    const bool first = model_.rowCount() == 0;
    model_.setTrip(std::move(trip), place);
    vehicleType_ = qs(vehicleType);
    if (!QFile::exists(QStringLiteral(":/icons/%1.svg").arg(vehicleType_)))
        vehicleType_ = QStringLiteral("UNKNOWN");

    // The same stop stays current across refreshes; at first the user's stop is.
    int row = -1;
    const auto& stops = model_.trip().stops;
    for (std::size_t i = 0; i < stops.size(); ++i) {
        if (currentStop.empty() ? stops[i].selected : stops[i].id == currentStop)
            row = static_cast<int>(i);
    }
    if (row < 0 && !stops.empty())
        row = 0;
    if (row >= 0) {
        setCurrentIndex(model_.index(row));
        if (first)
            scrollTo(model_.index(row), QAbstractItemView::PositionAtCenter);
    }
    viewport()->update();
}

QRect TripDiagram::vehicleRect() const {
    const auto place = model_.vehiclePlace();
    if (!place || model_.rowCount() == 0)
        return {};
    const double clamped = std::clamp(*place, 0.0, static_cast<double>(model_.rowCount() - 1));
    const int before = static_cast<int>(std::floor(clamped));
    const int after = static_cast<int>(std::ceil(clamped));
    const int y0 = visualRect(model_.index(before)).center().y();
    const int y1 = visualRect(model_.index(after)).center().y();
    const int y = static_cast<int>(std::lround(y0 + (y1 - y0) * (clamped - before)));
    const int x = visualRect(model_.index(before)).left() + TripStopDelegate::kLineColumn / 2;
    return {x - kIconSize / 2, y - kIconSize / 2, kIconSize, kIconSize};
}

void TripDiagram::paintEvent(QPaintEvent* event) {
    QListView::paintEvent(event);
    const QRect icon = vehicleRect();
    if (icon.isEmpty())
        return;
    QPainter painter(viewport());
    painter.setRenderHint(QPainter::Antialiasing);
    // A disc of the background under the icon keeps it apart from the line and the dots.
    painter.setPen(QPen(palette().color(QPalette::Text), 2));
    painter.setBrush(palette().color(QPalette::Base));
    painter.drawEllipse(icon.adjusted(-4, -4, 4, 4));
    QIcon(QStringLiteral(":/icons/%1.svg").arg(vehicleType_)).paint(&painter, icon);
}

}  // namespace velmo
