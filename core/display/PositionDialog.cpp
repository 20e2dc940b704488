#include "core/display/PositionDialog.h"

#include "core/display/DeparturesClient.h"

#include "core/settings/AppSettings.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/LocationSource.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTimer>
#include <QVBoxLayout>

namespace velmo {

namespace {

constexpr int kTypingPauseMs = 250;
constexpr int kMinimumLetters = 2;

QString positionText(double lat, double lon) { return QStringLiteral("%1,%2").arg(lat, 0, 'f', 6).arg(lon, 0, 'f', 6); }

}  // namespace

PositionDialog::PositionDialog(DeparturesClient& client, QWidget* parent) : QDialog(parent), client_(client) {
    setWindowTitle(QStringLiteral("Pozíció megadása"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Keress egy megállót a közeledben, vagy írd be a koordinátákat."), this);
    intro->setWordWrap(true);
    searchBox = new QLineEdit(this);
    searchBox->setPlaceholderText(QStringLiteral("Megálló neve, vagy szélesség,hosszúság"));
    searchBox->setAccessibleName(QStringLiteral("Megálló vagy koordináták"));
    searchBox->setClearButtonEnabled(true);
    matchList = new QListWidget(this);
    matchList->setAccessibleName(QStringLiteral("Találatok"));
    matchList->setFocusPolicy(Qt::NoFocus);  // the keys stay with the search box
    messageLine = new QLabel(this);
    messageLine->setWordWrap(true);
    layout->addWidget(intro);
    layout->addWidget(searchBox);
    layout->addWidget(matchList, 1);
    layout->addWidget(messageLine);
    resize(420, 360);

    pause_ = new QTimer(this);
    pause_->setSingleShot(true);
    pause_->setInterval(kTypingPauseMs);
    connect(pause_, &QTimer::timeout, this, &PositionDialog::searchNow);
    connect(searchBox, &QLineEdit::textEdited, pause_, qOverload<>(&QTimer::start));
    connect(matchList, &QListWidget::itemActivated, this, [this] { choose(); });
    searchBox->installEventFilter(this);
    searchBox->setFocus();
}

PositionDialog::~PositionDialog() { *alive_ = false; }

bool PositionDialog::offersPosition(std::string_view code) { return code.starts_with("NOLOCATION"); }

void PositionDialog::searchNow() {
    pause_->stop();
    const int query = ++query_;
    matchList->clear();
    const QString text = searchBox->text().trimmed();
    if (const auto typed = parseFixedPosition(text.toStdString())) {
        auto* row = new QListWidgetItem(
            QStringLiteral("Koordináták: %1, %2").arg(typed->latitude, 0, 'f', 5).arg(typed->longitude, 0, 'f', 5),
            matchList);
        row->setData(Qt::UserRole, text);
        matchList->setCurrentRow(0);
        messageLine->clear();
        return;
    }
    if (text.size() < kMinimumLetters) {
        messageLine->clear();
        return;
    }
    messageLine->setText(QStringLiteral("Keresés…"));
    std::weak_ptr<bool> alive = alive_;
    client_.searchStops(text.toStdString(), [this, alive, query](auto error, std::vector<StopChoice> stops) {
        // The answer may come on any thread; the list is filled on the main thread.
        QMetaObject::invokeMethod(
            qApp,
            [this, alive, query, error = std::move(error), stops = std::move(stops)] {
                if (const auto living = alive.lock(); living && *living)
                    showMatches(query, error, stops);
            },
            Qt::QueuedConnection);
    });
}

void PositionDialog::showMatches(int query, const std::optional<std::string>& error,
                                 const std::vector<StopChoice>& stops) {
    if (query != query_)
        return;
    matchList->clear();
    if (error) {
        messageLine->setText(QString::fromStdString(client_.toErrorString(*error)));
        return;
    }
    for (const StopChoice& stop : stops) {
        auto* row = new QListWidgetItem(
            QStringLiteral("%1 — %2").arg(QString::fromStdString(stop.name), QString::fromStdString(stop.cityName)),
            matchList);
        row->setData(Qt::UserRole, positionText(stop.latitude, stop.longitude));
    }
    if (!stops.empty())
        matchList->setCurrentRow(0);
    messageLine->setText(stops.empty() ? QStringLiteral("Nincs ilyen nevű megálló.") : QString());
}

void PositionDialog::choose() {
    const QListWidgetItem* row = matchList->currentItem();
    if (!row) {
        searchNow();  // Enter before the pause ended: search (or take the coordinates) first
        return;
    }
    UserDefaults shared(AppSettings::kAppGroup);
    shared.setObject(kLocationFixedKey, row->data(Qt::UserRole).toString().toStdString());
    shared.setObject(kLocationSourceKey, std::string("fixed"));
    accept();
    emit positionStored();
}

bool PositionDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == searchBox && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        const int rows = matchList->count();
        switch (key->key()) {
            case Qt::Key_Down:
            case Qt::Key_Up:
                if (rows > 0) {
                    const int step = key->key() == Qt::Key_Down ? 1 : -1;
                    matchList->setCurrentRow(std::clamp(matchList->currentRow() + step, 0, rows - 1));
                }
                return true;
            case Qt::Key_Return:
            case Qt::Key_Enter: choose(); return true;
            default: break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace velmo
