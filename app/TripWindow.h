#pragma once
// The trip window: the stops of one departure's trip and where its vehicle is, asked for when
// the window opens and every 20 s while it is open (never two rounds at once, nothing after it
// closed). A failed trip query is shown above the stops, which stay as they were; a missing
// vehicle position leaves the stops without the vehicle. Esc closes it.

#include "platform/runloop/RunLoop.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QLabel;

namespace velmo {

class DeparturesClient;
class JSON;
class TripDiagram;

// Which trip to show: the city key of the departures reply and the departure's own ids (as
// the service gave them, not encoded), with its line, direction and vehicle type for the title.
struct TripKey {
    std::string city;
    std::string tripId;
    std::string stopId;
    std::string routeId;
    std::string line;
    std::string headsign;
    std::string type;
    // Added to the local clock to read the service's (see clockOffset): the age of the
    // vehicle's position is told on the service's clock.
    std::int64_t clockOffset = 0;
};

class TripWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr RunLoop::Seconds kRefreshInterval{20};

    // `client` and `loop` must outlive the window's requests' callbacks being posted; the
    // window itself may be destroyed at any time.
    TripWindow(DeparturesClient& client, RunLoop& loop, TripKey key, QWidget* parent = nullptr);
    ~TripWindow() override;

    // Starts a round (stops and vehicle) unless one is under way or the window is closed.
    void refresh();

    const TripKey& key() const { return key_; }
    TripDiagram* diagram = nullptr;
    QLabel* titleLine = nullptr;    // line and direction
    QLabel* vehicleLine = nullptr;  // where the vehicle is and how old that is, or why unknown
    QLabel* messageLine = nullptr;  // a failed trip query

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct Round;
    void answered(bool trip, std::optional<std::string> error, std::optional<JSON> reply);
    void apply();
    std::function<std::string(std::string_view)> errorText() const;
    void stop();

    DeparturesClient& client_;
    RunLoop& loop_;
    TripKey key_;
    std::unique_ptr<Round> round_;
    bool pending_ = false;
    bool closed_ = false;
    // Each round's answers carry its number; a late one from an earlier round is dropped.
    int generation_ = 0;
    std::shared_ptr<Timer> timer_;
    // Answers posted to the main thread check it, so none reaches a destroyed window.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmo
