#include "widget/TodayViewController.h"

#include "core/display/Contrast.h"
#include "core/display/PositionDialog.h"
#include "core/display/tarvoCellMac.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QPointer>
#include <QScreen>
#include <QShowEvent>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace velmo {

namespace {

constexpr int kScreenMargin = 16;

// "3 perce", "2 órája": how long ago, in whole minutes or hours.
QString ageText(qint64 seconds) {
    const qint64 minutes = seconds / 60;
    if (minutes < 60)
        return QStringLiteral("%1 perce").arg(minutes);
    return QStringLiteral("%1 órája").arg(minutes / 60);
}

}  // namespace

TodayViewController::TodayViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent)
    : QWidget(parent), tarvo_(std::move(tarvo)), clock_([] { return QDateTime::currentDateTime(); }) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 4);
    layout->setSpacing(2);
    tarvoTableView = new DepartureTable(this);
    tarvoTableView->setDataSource(this);
    tarvoTableView->setFavouritesSettings(&settings_);
    DeparturesClient* client = tarvo_.get();
    tarvoTableView->setErrorText([client](std::string_view code) { return client->toErrorString(code); });
    updatedLabel = new QLabel(this);
    updatedLabel->setAccessibleName(QStringLiteral("Utolsó frissítés"));
    updatedLabel->setContentsMargins(8, 0, 8, 0);
    QFont small = updatedLabel->font();
    small.setPointSize(9);
    updatedLabel->setFont(small);
    colourStatusLine();
    positionButton = new QPushButton(QStringLiteral("Pozíció megadása"), this);
    positionButton->setAccessibleName(QStringLiteral("Pozíció megadása"));
    positionButton->setFlat(true);
    positionButton->hide();
    connect(positionButton, &QPushButton::clicked, this, &TodayViewController::openPositionDialog);
    layout->addWidget(tarvoTableView, 1);
    layout->addWidget(positionButton);
    layout->addWidget(updatedLabel);
    setAccessibleName(QStringLiteral("Induló járatok a közeledben"));
    freshnessTimer_ = new QTimer(this);
    freshnessTimer_->setInterval(10'000);
    connect(freshnessTimer_, &QTimer::timeout, this, &TodayViewController::updateFreshness);
}

TodayViewController::~TodayViewController() = default;

QSize TodayViewController::sizeHint() const {
    int widest = kMaxWidth;
    if (const QScreen* shown = screen())
        widest = std::min(widest, shown->availableGeometry().width() - kScreenMargin);
    const int wanted = std::max(kMinWidth, tarvoTableView->preferredWidth());
    return {std::max(1, std::min(wanted, widest)), kPreferredHeight};
}

void TodayViewController::colourStatusLine() {
    // Quieter than the rows, yet readable: the palette's muted colour, darkened or lightened
    // until it reaches 4.5:1 on the window.
    QPalette palette = updatedLabel->palette();
    const QColor colour = readableColor(this->palette().color(QPalette::Mid), this->palette().color(QPalette::Window));
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::WindowText, colour);
    updatedLabel->setPalette(palette);
}

void TodayViewController::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange)
        colourStatusLine();
}

void TodayViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!appeared_) {
        appeared_ = true;
        viewWillAppear();
    }
}

void TodayViewController::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (appeared_) {
        appeared_ = false;
        viewDidDisappear();
    }
}

int TodayViewController::rowCap() const {
    const int64_t wanted = settings_.get("settingTodayNum").value_or(PlistValue()).toInteger();
    return wanted >= 1 ? static_cast<int>(std::min<int64_t>(wanted, kRowCap)) : kRowCap;
}

void TodayViewController::viewWillAppear() {
    updateEnabled_ = true;
    refreshing_ = true;
    // The row count may have been changed in the preferences since the rows were made.
    if (tarvoTableView->count() != numberOfRowsInTableView(*tarvoTableView))
        tarvoTableView->reloadData();
    updateFreshness();
    freshnessTimer_->start();
    QPointer<TodayViewController> self(this);
    tarvo_->getWithLocation(
        false, [self](std::optional<std::string> error, std::optional<JSON> first, std::optional<JSON> second,
                      std::optional<std::string>, std::optional<std::string>, std::optional<std::string>,
                      std::optional<std::string>) {
            // Everything the reply touches lives on the main thread; hand it over, and run it
            // right here when this already is the main thread, so the hand-over never waits
            // for itself.
            auto apply = [self, error, first, second] {
                if (self)
                    self->applyReply(error, first, second);
            };
            if (QThread::currentThread() == qApp->thread())
                apply();
            else
                QMetaObject::invokeMethod(qApp, apply, Qt::BlockingQueuedConnection);
        });
}

void TodayViewController::openPositionDialog() {
    // A window of its own: the popup may close while the user types.
    auto* dialog = new PositionDialog(*tarvo_);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<TodayViewController> self(this);
    connect(dialog, &PositionDialog::positionStored, this, [self] {
        if (self && self->updateEnabled_)
            self->viewWillAppear();
    });
    // It asks the departures source, which goes with this view.
    connect(this, &QObject::destroyed, dialog, [guard = QPointer<PositionDialog>(dialog)] { delete guard.data(); });
    dialog->show();
    dialog->activateWindow();
}

void TodayViewController::viewDidDisappear() {
    updateEnabled_ = false;
    freshnessTimer_->stop();
    tarvo_->cancel();
}

void TodayViewController::applyReply(const std::optional<std::string>& error, const std::optional<JSON>& first,
                                     const std::optional<JSON>& second) {
    if (!updateEnabled_)
        return;
    // Whatever it brings, the query has ended.
    refreshing_ = false;
    bool changed = false;
    bool departures = false;
    if (error) {
        items_ = {PlistMap{{"error", *error}}};
        changed = true;
    }
    auto fromList = [this](const JSON& list) {
        std::vector<PlistMap> built;
        for (PlistValue& item : itemsFromList(*tarvo_, list))
            built.push_back(std::move(*item.ifMap()));
        return built;
    };
    const auto listChoice = [this] { return settings_.get("settingTodayStops").value_or(PlistValue()).toInteger(); };
    if (listChoice() == 1 && first) {
        items_ = fromList(*first);
        changed = departures = true;
    }
    if (listChoice() == 2 && second) {
        items_ = fromList(*second);
        changed = departures = true;
    }
    if (changed)
        positionButton->setVisible(error && !departures && PositionDialog::offersPosition(*error));
    if (changed) {
        settings_.set("previousReply1", PlistList(items_.begin(), items_.end()));
        // Only departures renew the time; an error row has none to age.
        if (departures)
            updatedAt_ = clock_();
        rowsAreDepartures_ = departures;
        tarvoTableView->reloadData();
    }
    updateFreshness();
    if (changed) {
        emit rowsReplaced();
        emit contentWidthChanged();
    }
}

void TodayViewController::updateFreshness() {
    using Dimming = tarvoCellMac::Dimming;
    if (refreshing_) {
        updatedLabel->setText(QStringLiteral("Frissítés…"));
        tarvoTableView->setRowsDimming(Dimming::Whole);
        return;
    }
    if (!updatedAt_) {
        updatedLabel->clear();
        tarvoTableView->setRowsDimming(Dimming::None);
        return;
    }
    const QString updated = QStringLiteral("Frissítve %1").arg(updatedAt_->toString(QStringLiteral("HH:mm")));
    const qint64 age = updatedAt_->secsTo(clock_());
    if (rowsAreDepartures_ && age > kStaleSeconds) {
        updatedLabel->setText(QStringLiteral("%1 (%2)").arg(updated, ageText(age)));
        tarvoTableView->setRowsDimming(Dimming::Times);
    } else {
        updatedLabel->setText(updated);
        tarvoTableView->setRowsDimming(Dimming::None);
    }
}

int TodayViewController::numberOfRowsInTableView(DepartureTable&) {
    return static_cast<int>(std::min<size_t>(items_.size(), static_cast<size_t>(rowCap())));
}

tarvoCellMac* TodayViewController::rowViewForRow(DepartureTable& table, int row) {
    tarvoCellMac* cell = table.makeRowView(row);
    cell->tarvoData = items_.at(static_cast<size_t>(row));
    cell->fillFromData();
    return cell;
}

void TodayViewController::favouriteChanged(DepartureTable&, const FavouriteChange& change) {
    applyFavouriteChange(items_, change);
    emit contentWidthChanged();
}

}  // namespace velmo
