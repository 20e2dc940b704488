#include "app/ViewController.h"

#include "core/display/PositionDialog.h"
#include "app/TripWindow.h"
#include "core/service/TripDetails.h"
#include "core/display/tarvoCellMac.h"
#include "core/service/TarvoReply.h"

#include <QDateTime>
#include <QEvent>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>

namespace velmo {

namespace {

std::vector<PlistMap> mapsOf(const DeparturesClient& client, const JSON& list) {
    std::vector<PlistMap> maps;
    for (PlistValue& item : itemsFromList(client, list))
        maps.push_back(std::move(*item.ifMap()));
    return maps;
}

std::int64_t unixSeconds(RunLoop::TimePoint at) {
    return std::chrono::duration_cast<std::chrono::seconds>(at.time_since_epoch()).count();
}

QString clockText(RunLoop::TimePoint at) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toLocalTime().toString(QStringLiteral("HH:mm"));
}

QString ageText(RunLoop::Seconds age) {
    const auto minutes = static_cast<long long>(age.count() / 60);
    if (minutes < 60)
        return QStringLiteral("%1 perce").arg(minutes);
    return QStringLiteral("%1 órája").arg(minutes / 60);
}

}  // namespace

ViewController::ViewController(std::unique_ptr<DeparturesClient> tarvo, RunLoop& loop, QWidget* parent)
    : QWidget(parent), tarvo_(std::move(tarvo)), loop_(loop) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    auto* status = new QHBoxLayout;
    status->setContentsMargins(8, 4, 8, 4);
    statusLine = new QLabel(this);
    busyLine = new QLabel(QStringLiteral("Frissítés…"), this);
    busyLine->setStyleSheet(QStringLiteral("font-weight: bold;"));
    status->addWidget(statusLine, 1);
    status->addWidget(busyLine);
    layout->addLayout(status);

    auto* message = new QHBoxLayout;
    message->setContentsMargins(8, 4, 8, 4);
    messageLine = new QLabel(this);
    messageLine->setWordWrap(true);
    messageLine->setStyleSheet(QStringLiteral("font-size: 12pt;"));
    retryButton = new QPushButton(QStringLiteral("Újra"), this);
    retryButton->setAccessibleName(QStringLiteral("Újra"));
    connect(retryButton, &QPushButton::clicked, this, &ViewController::refresh);
    serverButton = new QPushButton(QStringLiteral("Kiszolgáló beállítása…"), this);
    serverButton->setAccessibleName(QStringLiteral("Kiszolgáló beállítása"));
    connect(serverButton, &QPushButton::clicked, this, &ViewController::serverSettingsRequested);
    positionButton = new QPushButton(QStringLiteral("Pozíció megadása"), this);
    positionButton->setAccessibleName(QStringLiteral("Pozíció megadása"));
    connect(positionButton, &QPushButton::clicked, this, &ViewController::openPositionDialog);
    message->addWidget(messageLine, 1);
    message->addWidget(positionButton);
    message->addWidget(retryButton);
    message->addWidget(serverButton);
    layout->addLayout(message);
    statusLine->hide();  // until the first answer
    messageLine->hide();
    retryButton->hide();
    serverButton->hide();
    positionButton->hide();

    tarvoTableView = new DepartureTable(this);
    layout->addWidget(tarvoTableView, 1);
    viewDidLoad();
}

ViewController::~ViewController() {
    *alive_ = false;
    for (const auto& timer : {ageTimer_, autoTimer_})
        if (timer)
            timer->invalidate();
}

void ViewController::viewDidLoad() {
    tarvoTableView->setDataSource(this);
    tarvoTableView->setFavouritesSettings(&settings_);
    DeparturesClient* client = tarvo_.get();
    tarvoTableView->setErrorText([client](std::string_view code) { return client->toErrorString(code); });
    // A favourite marked in the row menu changes what the service puts first: ask again.
    connect(tarvoTableView, &DepartureTable::favouritesChanged, this, &ViewController::settingsChanged);
    connect(tarvoTableView, &QListWidget::itemActivated, this,
            [this](QListWidgetItem* entry) { openDetails(tarvoTableView->row(entry)); });
    autoRefresh_ = settings_.get("settingAutoRefresh").value_or(PlistValue(false)).toBool();
    refresh();
}

void ViewController::refresh() {
    if (pending_)
        return;
    pending_ = true;
    if (autoTimer_)
        autoTimer_->invalidate();
    busyLine->show();
    retryButton->setEnabled(false);

    DeparturesClient* client = tarvo_.get();
    std::weak_ptr<bool> alive = alive_;
    RunLoop* loop = &loop_;
    tarvo_->getWithLocation(
        false,
        [this, alive, loop, client](std::optional<std::string> error, std::optional<JSON> first,
                                    std::optional<JSON> second, std::optional<std::string>, std::optional<std::string>,
                                    std::optional<std::string> cityKey, std::optional<std::string>) {
            // The lists are converted here, on whatever thread answers; they are installed
            // together on the main thread, later, and dropped if the view is gone by then.
            std::optional<std::vector<PlistMap>> shown;
            std::vector<PlistMap> nearby;
            if (first) {
                shown = mapsOf(*client, *first);
                if (second)
                    nearby = mapsOf(*client, *second);
            }
            loop->post([this, alive, error = std::move(error), shown = std::move(shown), nearby = std::move(nearby),
                        cityKey = std::move(cityKey)]() mutable {
                const auto living = alive.lock();
                if (!living || !*living)
                    return;
                if (shown) {
                    cityKey_ = cityKey.value_or("");
                    clockOffset_ = clockOffset(serviceClock(*shown), unixSeconds(loop_.now()));
                }
                apply(std::move(error), std::move(shown), std::move(nearby));
            });
        });
}

void ViewController::apply(std::optional<std::string> error, std::optional<std::vector<PlistMap>> shown,
                           std::vector<PlistMap> nearby) {
    pending_ = false;
    busyLine->hide();
    retryButton->setEnabled(true);
    // Asking again cannot help until a server is set: the way to set one is offered instead.
    const bool noServer = !shown && error == kNoServer;
    serverButton->setVisible(noServer);
    if (shown) {
        items_ = std::move(*shown);
        itemsNearby_ = std::move(nearby);
        // "Frissítve" stands for departures on screen: an empty answer clears it.
        answeredAt_ = items_.empty() ? std::nullopt : std::optional(loop_.now());
        retryButton->hide();
        positionButton->hide();
        messageLine->setText(QStringLiteral("Nincs induló járat a közelben."));
        messageLine->setVisible(items_.empty());
        updateFreshness();
        tarvoTableView->reloadData();
    } else {
        // The rows stay: they are still the last answer, and the freshness line says how old.
        messageLine->setText(QString::fromStdString(tarvo_->toErrorString(error.value_or(""))));
        messageLine->show();
        retryButton->setVisible(!noServer);
        positionButton->setVisible(PositionDialog::offersPosition(error.value_or("")));
    }
    if (askAgain_) {
        askAgain_ = false;
        refresh();
        return;
    }
    scheduleAutoRefresh();
}

void ViewController::settingsChanged() {
    autoRefresh_ = settings_.get("settingAutoRefresh").value_or(PlistValue(false)).toBool();
    if (pending_)
        askAgain_ = true;
    else
        refresh();
}

bool ViewController::stale() const { return answeredAt_ && loop_.now() - *answeredAt_ >= kStaleAfter; }

void ViewController::updateFreshness() {
    if (ageTimer_)
        ageTimer_->invalidate();
    if (!answeredAt_) {
        statusLine->hide();
        return;
    }
    const RunLoop::Seconds age = loop_.now() - *answeredAt_;
    QString text = QStringLiteral("Frissítve %1").arg(clockText(*answeredAt_));
    if (stale())
        text += QStringLiteral(" (%1)").arg(ageText(age));
    statusLine->setText(text);
    statusLine->show();
    for (int row = 0; row < tarvoTableView->count(); ++row)
        if (tarvoCellMac* cell = tarvoTableView->rowView(row))
            dimTimes(*cell);
    // Next change of the line: the moment the rows turn stale, then each further minute.
    const RunLoop::Seconds next =
        stale() ? RunLoop::Seconds(60.0 - std::fmod(age.count(), 60.0)) : RunLoop::Seconds(kStaleAfter - age);
    ageTimer_ = loop_.scheduleTimer(next, [this] { updateFreshness(); });
}

void ViewController::dimTimes(tarvoCellMac& cell) const {
    for (QLabel* time : {cell.tarvoTimeLeftLabel, cell.tarvoTimeLeftLabelNoGPS}) {
        if (stale()) {
            auto* effect = new QGraphicsOpacityEffect(time);
            effect->setOpacity(0.35);
            time->setGraphicsEffect(effect);
        } else {
            time->setGraphicsEffect(nullptr);
        }
    }
}

bool ViewController::onScreen() const { return isVisible() && !window()->isMinimized(); }

void ViewController::scheduleAutoRefresh() {
    if (autoTimer_)
        autoTimer_->invalidate();
    if (!autoRefresh_)
        return;
    autoTimer_ = loop_.scheduleTimer(kAutoRefreshInterval, [this] {
        if (onScreen())
            refresh();
        else
            missedAutoRefresh_ = true;  // asked for as soon as the window is shown again
    });
}

void ViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (watchedWindow_ != window()) {
        if (watchedWindow_)
            watchedWindow_->removeEventFilter(this);
        watchedWindow_ = window();
        if (watchedWindow_ != this)
            watchedWindow_->installEventFilter(this);
    }
    if (missedAutoRefresh_ && autoRefresh_ && onScreen()) {
        missedAutoRefresh_ = false;
        refresh();
    }
}

bool ViewController::eventFilter(QObject* watched, QEvent* event) {
    // A restored (un-minimised) window sends no show event to its children.
    if (watched == watchedWindow_ && event->type() == QEvent::WindowStateChange && missedAutoRefresh_ && autoRefresh_ &&
        onScreen()) {
        missedAutoRefresh_ = false;
        refresh();
    }
    return QWidget::eventFilter(watched, event);
}

void ViewController::openPositionDialog() {
    auto* dialog = new PositionDialog(*tarvo_, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The position is stored: ask again with it at once.
    connect(dialog, &PositionDialog::positionStored, this, &ViewController::settingsChanged);
    dialog->open();
}

TripWindow* ViewController::tripWindow() const { return tripWindow_; }

void ViewController::openDetails(int row) {
    if (row < 0 || static_cast<size_t>(row) >= items_.size())
        return;
    const PlistMap& item = items_[static_cast<size_t>(row)];
    auto text = [&item](const char* key) {
        const auto found = item.find(key);
        return found == item.end() ? std::string() : found->second.toString().value_or(std::string());
    };
    const auto details = item.find("hasDetails");
    if (details == item.end() || !details->second.toBool()) {
        emit statusMessage(QStringLiteral("Ehhez az induláshoz nincs menetrendi részlet."));
        return;
    }
    if (tripWindow_)
        tripWindow_->close();
    // Its own top-level window, deleted when closed; it goes with the list at the latest.
    auto* window = new TripWindow(*tarvo_, loop_,
                                  TripKey{cityKey_, text("tripId"), text("stopIdUniq"), text("routeId"),
                                          text("shortName"), text("tripHeadsign"), text("type"), clockOffset_},
                                  this);
    window->setAttribute(Qt::WA_DeleteOnClose);
    tripWindow_ = window;
    window->show();
}

int ViewController::numberOfRowsInTableView(DepartureTable&) { return static_cast<int>(items_.size()); }

tarvoCellMac* ViewController::rowViewForRow(DepartureTable& table, int row) {
    tarvoCellMac* cell = table.makeRowView(row);
    cell->tarvoData = items_.at(static_cast<size_t>(row));
    cell->fillFromData();
    dimTimes(*cell);
    return cell;
}

void ViewController::favouriteChanged(DepartureTable&, const FavouriteChange& change) {
    applyFavouriteChange(items_, change);
    applyFavouriteChange(itemsNearby_, change);
}

}  // namespace velmo
