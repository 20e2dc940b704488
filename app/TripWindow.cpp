#include "app/TripWindow.h"

#include "core/display/DeparturesClient.h"
#include "core/display/TripDiagram.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/TripDetails.h"

#include <QCloseEvent>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QVBoxLayout>

namespace velmo {

struct TripWindow::Round {
    std::optional<std::string> tripError;
    std::optional<JSON> trip;
    std::optional<std::string> vehicleError;
    std::optional<JSON> vehicle;
    int answers = 0;
};

TripWindow::TripWindow(DeparturesClient& client, RunLoop& loop, TripKey key, QWidget* parent)
    : QWidget(parent, Qt::Window),
      client_(client),
      loop_(loop),
      key_(std::move(key)),
      round_(std::make_unique<Round>()) {
    const QString line = QString::fromStdString(key_.line);
    const QString headsign = QString::fromStdString(key_.headsign);
    setWindowTitle(QStringLiteral("velmomac – %1 %2").arg(line, headsign));
    setWindowIcon(QIcon(QStringLiteral(":/app/velmomac.svg")));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    QString vehicle = tarvoCellMac::vehicleName(key_.type);
    vehicle[0] = vehicle[0].toUpper();
    titleLine = new QLabel(QStringLiteral("%1 %2 → %3").arg(vehicle, line, headsign), this);
    titleLine->setStyleSheet(QStringLiteral("font-size: 14pt; font-weight: bold;"));
    messageLine = new QLabel(this);
    messageLine->setWordWrap(true);
    vehicleLine = new QLabel(QStringLiteral("Frissítés…"), this);
    vehicleLine->setWordWrap(true);
    for (QLabel* label : {titleLine, messageLine, vehicleLine}) {
        label->setContentsMargins(8, 4, 8, 4);
        layout->addWidget(label);
    }
    messageLine->hide();
    diagram = new TripDiagram(this);
    layout->addWidget(diagram, 1);
    diagram->setFocus();
    resize(420, 560);
    refresh();
}

TripWindow::~TripWindow() { stop(); }

void TripWindow::stop() {
    closed_ = true;
    *alive_ = false;
    if (timer_)
        timer_->invalidate();
}

void TripWindow::refresh() {
    if (closed_ || pending_)
        return;
    pending_ = true;
    *round_ = Round{};
    const int generation = ++generation_;
    const std::string trip = base64(key_.tripId);
    const std::string stop = base64(key_.stopId);
    const std::string route = base64(key_.routeId);
    for (const bool isTrip : {true, false}) {
        // Answers may come on any thread: they are handed to the main loop and dropped there if
        // the window is gone or has started another round.
        auto deliver = [this, isTrip, generation, alive = std::weak_ptr<bool>(alive_), loop = &loop_](
                           std::optional<std::string> error, std::optional<JSON> reply) {
            loop->post([this, isTrip, generation, alive, error = std::move(error), reply = std::move(reply)]() mutable {
                const auto living = alive.lock();
                if (living && *living && generation == generation_)
                    answered(isTrip, std::move(error), std::move(reply));
            });
        };
        if (isTrip)
            client_.getMoreInfo(key_.city, trip, stop, route, std::move(deliver));
        else
            client_.getVehicleInfo(key_.city, trip, stop, route, std::move(deliver));
    }
}

void TripWindow::answered(bool trip, std::optional<std::string> error, std::optional<JSON> reply) {
    Round& round = *round_;
    (trip ? round.tripError : round.vehicleError) = std::move(error);
    (trip ? round.trip : round.vehicle) = std::move(reply);
    if (++round.answers < 2)
        return;
    pending_ = false;
    apply();
    timer_ = loop_.scheduleTimer(kRefreshInterval, [this] { refresh(); });
}

void TripWindow::apply() {
    const Round& round = *round_;
    std::optional<TripDetails> details = round.trip ? readTripDetails(*round.trip) : std::nullopt;
    if (!details) {
        // The stops on show (if any) stay; the message says why they were not renewed.
        messageLine->setText(QString::fromStdString(detailsErrorText(round.tripError, errorText())));
        messageLine->show();
        vehicleLine->hide();
        return;
    }
    messageLine->hide();
    const std::optional<VehiclePosition> vehicle = round.vehicle ? readVehiclePosition(*round.vehicle) : std::nullopt;
    const std::optional<double> place = vehicle ? vehiclePlace(details->stops, *vehicle) : std::nullopt;
    QString where;
    if (vehicle && place) {
        const auto now =
            std::chrono::duration_cast<std::chrono::seconds>(loop_.now().time_since_epoch()).count() + key_.clockOffset;
        where = QStringLiteral("A jármű %1 volt, %2")
                    .arg(QString::fromStdString(vehiclePlaceText(details->stops, *place)),
                         QString::fromStdString(positionAgeText(now - vehicle->timestamp)));
    } else {
        // A reply without a position says as much as the service's own "no vehicle".
        where = QString::fromStdString(detailsErrorText(round.vehicleError.value_or("NOVEHICLE"), errorText()));
    }
    vehicleLine->setText(where);
    vehicleLine->setAccessibleName(where);
    vehicleLine->show();
    const std::string type = details->routeType.empty() ? key_.type : details->routeType;
    diagram->setTrip(std::move(*details), vehicle, type);
}

std::function<std::string(std::string_view)> TripWindow::errorText() const {
    return [client = &client_](std::string_view code) { return client->toErrorString(code); };
}

void TripWindow::closeEvent(QCloseEvent* event) {
    stop();
    QWidget::closeEvent(event);
}

void TripWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

}  // namespace velmo
