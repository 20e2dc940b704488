#include "core/display/tarvoCellMac.h"

#include "core/display/Contrast.h"
#include "core/display/ElidedLabel.h"
#include "core/display/StarLabel.h"
#include "core/service/TarvoReply.h"
#include "ui_tarvoCellMac.h"

#include <QBoxLayout>
#include <QEvent>
#include <QFile>
#include <QIcon>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

#include <cmath>

// The compiled-in icons live in a static library; registering them by hand keeps the
// linker from dropping them.
static void initDisplayResources() { Q_INIT_RESOURCE(velmo); }

namespace velmo {

const QColor tarvoCellMac::kStarFill(238, 195, 50);
const QColor tarvoCellMac::kStarStroke(172, 76, 39);
const QColor tarvoCellMac::kLiveColour(20, 120, 50);
const QColor tarvoCellMac::kTimetableColour(110, 110, 110);
const QColor tarvoCellMac::kWarningColour(200, 120, 0);
const QColor tarvoCellMac::kErrorColour(170, 30, 30);

namespace {

// A string value as text; whole numbers are shown as written, other kinds as "".
std::string textOf(const PlistMap& item, const char* key) {
    const auto found = item.find(key);
    if (found == item.end())
        return {};
    if (const auto* text = found->second.ifString())
        return *text;
    if (const auto* number = found->second.ifInteger())
        return std::to_string(*number);
    return {};
}

bool flagOf(const PlistMap& item, const char* key) {
    const auto found = item.find(key);
    return found != item.end() && found->second.toBool();
}

QString qs(const std::string& text) { return QString::fromStdString(text); }

QTextCharFormat plainFormat(int points) {
    QTextCharFormat format;
    QFont font;
    font.setPointSize(points);
    format.setFont(font);
    return format;
}

// Filled gold with a brown outline, as wide as a thin stroke at that size.
QTextCharFormat starFormat(int points, const QColor& stroke = tarvoCellMac::kStarStroke) {
    QTextCharFormat format = plainFormat(points);
    format.setForeground(tarvoCellMac::kStarFill);
    QPen outline(stroke);
    outline.setWidthF(std::max(1.0, points * 0.04));
    format.setTextOutline(outline);
    return format;
}

}  // namespace

tarvoCellMac::tarvoCellMac(QWidget* parent) : QWidget(parent), ui_(std::make_unique<Ui::tarvoCellMac>()) {
    initDisplayResources();
    ui_->setupUi(this);
    tarvoImage = ui_->tarvoImage;
    tarvoLineLabel = ui_->tarvoLineLabel;
    tarvoStopLabel = ui_->tarvoStopLabel;
    tarvoDirectionLabel = ui_->tarvoDirectionLabel;
    tarvoTimeLeftLabel = ui_->tarvoTimeLeftLabel;
    tarvoTimeLeftLabelNoGPS = ui_->tarvoTimeLeftLabelNoGPS;
    tarvoWarningLabel = ui_->tarvoWarningLabel;
    tarvoLiveMarker = ui_->tarvoLiveMarker;
    tarvoErrorLabel = ui_->tarvoErrorLabel;
    // In a narrow list the stop and direction give way, never the time: they elide, and
    // their whole texts are in their tool tips.
    ui_->tarvoTextColumn->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    ui_->tarvoTextColumn->setMinimumWidth(0);
    tarvoStopLabel->setElideMode(Qt::ElideRight);
    tarvoLineLabel->setShrinkToFit(true);
    tarvoLineLabel->setMinimumWidth(0);
    // A time column wider than its text keeps the text and its marker at the right.
    static_cast<QBoxLayout*>(ui_->tarvoTimeBox->layout())->insertStretch(0);
    tarvoWarningLabel->hide();
    tarvoLiveMarker->hide();
    tarvoErrorLabel->hide();
    errorText_ = [](std::string_view code) { return std::string(code); };
    applyColours();
}

tarvoCellMac::~tarvoCellMac() = default;

void tarvoCellMac::prepareForReuse() {}

void tarvoCellMac::setErrorText(std::function<std::string(std::string_view)> errorText) {
    if (errorText)
        errorText_ = std::move(errorText);
}

QString tarvoCellMac::vehicleName(const std::string& type) {
    const std::optional<std::string> name = vehicleTypeName(type);
    return name ? qs(*name) : QStringLiteral("jármű");
}

void tarvoCellMac::fillFromData() {
    const PlistMap empty;
    const PlistMap& item = tarvoData ? *tarvoData : empty;
    const auto error = item.find("error");
    if (error != item.end() && item.size() == 1)
        showError(error->second.toString().value_or(""));
    else
        showDeparture(item);
}

void tarvoCellMac::setDepartureControlsVisible(bool visible) {
    tarvoImage->setVisible(visible);
    tarvoLineLabel->setVisible(visible);
    ui_->tarvoTextColumn->setVisible(visible);
    ui_->tarvoTimeBox->setVisible(visible);
    tarvoErrorLabel->setVisible(!visible);
}

void tarvoCellMac::showError(const std::string& code) {
    const QString message = qs(errorText_(code));
    setDepartureControlsVisible(false);
    tarvoErrorLabel->setText(message);
    tarvoErrorLabel->setToolTip(message);
    accessibleSentence_ = QStringLiteral("Hiba: %1").arg(message);
    setAccessibleName(accessibleSentence_);
}

void tarvoCellMac::showDeparture(const PlistMap& item) {
    setDepartureControlsVisible(true);
    tarvoErrorLabel->clear();

    const std::string minutes = textOf(item, "departureMinutes");
    // A cancelled departure says so in place of its minutes, struck through and in the error
    // colour: the word and the line carry it without the colour.
    const bool cancelled = flagOf(item, "tripCancelled");
    const QString timeText = cancelled         ? QStringLiteral("elmarad")
                             : minutes == "!!" ? QStringLiteral("MOST")
                                               : qs(minutes) + QStringLiteral(" perc");
    const std::string type = textOf(item, "type");

    QTextDocument stop;
    QTextCursor stopCursor(&stop);
    if (flagOf(item, "favStop"))
        stopCursor.insertText(QStringLiteral("★ "), starFormat(kStopFontPoints, starStroke()));
    stopCursor.insertText(qs(textOf(item, "name")), plainFormat(kStopFontPoints));
    tarvoStopLabel->setDocumentContent(stop);

    QTextDocument line;
    QTextCursor lineCursor(&line);
    QTextCharFormat lineFormat = plainFormat(kLineFontPoints);
    lineFormat.setFontWeight(QFont::DemiBold);
    lineCursor.insertText(qs(textOf(item, "shortName")), lineFormat);
    if (flagOf(item, "favRoute"))
        lineCursor.insertText(QStringLiteral(" ★"), starFormat(kLineFontPoints, starStroke()));
    tarvoLineLabel->setDocumentContent(line);

    const bool live = !cancelled && flagOf(item, "departureGPS");
    QFont timeFont = tarvoTimeLeftLabelNoGPS->font();
    timeFont.setStrikeOut(cancelled);
    tarvoTimeLeftLabelNoGPS->setFont(timeFont);
    if (cancelled_ != cancelled) {
        cancelled_ = cancelled;
        applyColours();
    }
    if (live) {
        tarvoTimeLeftLabel->setText(timeText);
        tarvoTimeLeftLabelNoGPS->setText(QString());
    } else {
        tarvoTimeLeftLabelNoGPS->setText(timeText);
        tarvoTimeLeftLabel->setText(QString());
    }
    tarvoLiveMarker->setVisible(live);
    tarvoTimeLeftLabel->setVisible(live);
    tarvoTimeLeftLabelNoGPS->setVisible(!live);

    tarvoDirectionLabel->setText(qs(textOf(item, "tripHeadsign")));
    static_cast<ElidedLabel*>(tarvoDirectionLabel)->refreshElision();

    // Warning sign with the service's texts as its tool tip.
    QStringList warnings;
    if (const auto found = item.find("warningText"); found != item.end()) {
        if (const auto* list = found->second.ifList()) {
            for (const PlistValue& text : *list)
                if (const auto* s = text.ifString())
                    warnings << qs(*s);
        } else if (const auto* s = found->second.ifString()) {
            warnings << qs(*s);
        }
    }
    const bool warning = flagOf(item, "warning");
    tarvoWarningLabel->setVisible(warning);
    tarvoWarningLabel->setToolTip(warnings.join(QLatin1Char('\n')));

    const QString iconPath = QStringLiteral(":/icons/%1.svg").arg(qs(type));
    if (!type.empty() && QFile::exists(iconPath)) {
        const qreal ratio = devicePixelRatioF();
        QPixmap pixmap = QIcon(iconPath).pixmap(QSize(36, 36), ratio);
        tarvoImage->setPixmap(pixmap);
        tarvoImage->setProperty("tarvoIconName", qs(type));
    } else {
        tarvoImage->clear();
        tarvoImage->setProperty("tarvoIconName", QString());
    }

    // One sentence for screen readers, without the stars of the visible labels.
    QString vehicle = vehicleName(type);
    vehicle[0] = vehicle[0].toUpper();
    QString sentence =
        QStringLiteral("%1 %2, %3 megálló").arg(vehicle, qs(textOf(item, "shortName")), qs(textOf(item, "name")));
    const QString direction = qs(textOf(item, "tripHeadsign"));
    if (!direction.isEmpty())
        sentence += QStringLiteral(", %1 felé").arg(direction);
    if (cancelled)
        sentence += QStringLiteral(", elmarad");
    else {
        if (minutes == "!!")
            sentence += QStringLiteral(", most indul");
        else if (!minutes.empty())
            sentence += QStringLiteral(", %1 perc múlva indul").arg(qs(minutes));
        sentence += live ? QStringLiteral(" (élő GPS-adat)") : QStringLiteral(" (menetrend szerint)");
    }
    sentence += QLatin1Char('.');
    if (flagOf(item, "favRoute"))
        sentence += QStringLiteral(" Kedvenc járat.");
    if (flagOf(item, "favStop"))
        sentence += QStringLiteral(" Kedvenc megálló.");
    if (warning)
        sentence += QStringLiteral(" Figyelmeztetés: %1")
                        .arg(warnings.isEmpty() ? QStringLiteral("van.") : warnings.join(QStringLiteral("; ")));
    accessibleSentence_ = sentence;
    setAccessibleName(sentence);
}

void tarvoCellMac::setSelected(bool selected) {
    if (selected_ == selected)
        return;
    selected_ = selected;
    applyColours();
    if (tarvoData)
        fillFromData();  // the stars' outline follows the selection
}

void tarvoCellMac::setDimming(Dimming dimming) {
    if (dimming_ == dimming)
        return;
    dimming_ = dimming;
    applyColours();
}

QColor tarvoCellMac::starStroke() const {
    // The star keeps its gold; on the selection its outline takes the text colour, so that its
    // shape stands out from the highlight.
    if (!selected_)
        return kStarStroke;
    return readableColor(palette().color(QPalette::HighlightedText), palette().color(QPalette::Highlight));
}

tarvoCellMac::Columns tarvoCellMac::columnHints() const {
    if (!tarvoLineLabel->isVisibleTo(this))
        return {};
    return {tarvoLineLabel->sizeHint().width(), ui_->tarvoTextColumn->sizeHint().width(),
            ui_->tarvoTimeBox->sizeHint().width()};
}

int tarvoCellMac::chromeWidth() const {
    const QMargins margins = layout()->contentsMargins();
    return margins.left() + margins.right() + tarvoImage->minimumWidth() + 3 * layout()->spacing();
}

void tarvoCellMac::setColumnWidths(int line, int time) {
    tarvoLineLabel->setFixedWidth(line);
    ui_->tarvoTimeBox->setFixedWidth(time);
}

QColor tarvoCellMac::textColour(const QWidget* label) const { return label->palette().color(label->foregroundRole()); }

void tarvoCellMac::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // The list's palette or the window's activation (which picks the palette's group) changed.
    if (!colouring_ && (event->type() == QEvent::PaletteChange || event->type() == QEvent::ActivationChange))
        applyColours();
}

void tarvoCellMac::applyColours() {
    colouring_ = true;
    const QPalette& own = palette();
    const QColor background = own.color(selected_ ? QPalette::Highlight : QPalette::Base);
    const QColor text = own.color(selected_ ? QPalette::HighlightedText : QPalette::Text);
    auto paint = [&](QWidget* label, const QColor& wanted, bool dim) {
        // On the selection every text takes the highlight's text colour; the kinds of time
        // stay apart by their weight, slant and the live marker.
        QColor colour = readableColor(selected_ ? text : wanted, background);
        if (dim)
            colour = dimmedColor(colour, background);
        // A label's text role is WindowText until it sits in a list's viewport, where it becomes
        // Text: both are set, so the colour holds wherever the row is put.
        QPalette palette = label->palette();
        for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive})
            for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text})
                palette.setColor(group, role, colour);
        label->setPalette(palette);
    };
    const bool whole = dimming_ == Dimming::Whole;
    const bool times = dimming_ != Dimming::None;
    paint(tarvoLineLabel, text, whole);
    paint(tarvoStopLabel, text, whole);
    paint(tarvoDirectionLabel, text, whole);
    paint(tarvoErrorLabel, kErrorColour, whole);
    paint(tarvoWarningLabel, kWarningColour, whole);
    paint(tarvoLiveMarker, kLiveColour, times);
    paint(tarvoTimeLeftLabel, kLiveColour, times);
    paint(tarvoTimeLeftLabelNoGPS, cancelled_ ? kErrorColour : kTimetableColour, times);
    colouring_ = false;
}

}  // namespace velmo
