#include "widget/TodayViewController.h"

#include "core/display/tarvoCellMac.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QShowEvent>
#include <QThread>
#include <QVBoxLayout>

namespace velmo {

TodayViewController::TodayViewController(std::unique_ptr<DeparturesClient> tarvo, QWidget* parent)
    : QWidget(parent), tarvo_(std::move(tarvo)), clock_([] { return QTime::currentTime(); }) {
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
    updatedLabel->setStyleSheet(QStringLiteral("color: palette(mid); font-size: 9pt;"));
    layout->addWidget(tarvoTableView, 1);
    layout->addWidget(updatedLabel);
    setAccessibleName(QStringLiteral("Induló járatok a közeledben"));
}

TodayViewController::~TodayViewController() = default;

QSize TodayViewController::sizeHint() const { return {420, kPreferredHeight}; }

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

void TodayViewController::viewWillAppear() {
    updateEnabled_ = true;
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

void TodayViewController::viewDidDisappear() {
    updateEnabled_ = false;
    tarvo_->cancel();
}

void TodayViewController::applyReply(const std::optional<std::string>& error, const std::optional<JSON>& first,
                                     const std::optional<JSON>& second) {
    if (!updateEnabled_)
        return;
    bool changed = false;
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
        changed = true;
    }
    if (listChoice() == 2 && second) {
        items_ = fromList(*second);
        changed = true;
    }
    if (!changed)
        return;

    settings_.set("previousReply1", PlistList(items_.begin(), items_.end()));
    tarvoTableView->reloadData();
    updatedLabel->setText(QStringLiteral("Frissítve %1").arg(clock_().toString(QStringLiteral("HH:mm"))));
    emit rowsReplaced();
}

int TodayViewController::numberOfRowsInTableView(DepartureTable&) {
    return static_cast<int>(std::min<size_t>(items_.size(), kRowCap));
}

tarvoCellMac* TodayViewController::rowViewForRow(DepartureTable& table, int row) {
    tarvoCellMac* cell = table.makeRowView(row);
    cell->tarvoData = items_.at(static_cast<size_t>(row));
    cell->fillFromData();
    return cell;
}

}  // namespace velmo
