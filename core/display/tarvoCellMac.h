#pragma once
// tarvoCellMac: the row that shows one departure in both programs — vehicle icon, line
// number (with a star for a favourite line), stop (with a star for a favourite stop),
// direction, an optional warning sign, and the minutes left in one of two labels: the live
// one when the time comes from the vehicle's GPS position, the timetable one otherwise.
// The controls come from resources/tarvoCellMac.ui; their colours are set here, so that
// every text stays readable on the list's background and on the selection.

#include "platform/defaults/PlistValue.h"

#include <QColor>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QLabel;
namespace Ui {
class tarvoCellMac;
}

namespace velmo {

class StarLabel;

class tarvoCellMac : public QWidget {
    Q_OBJECT
public:
    static constexpr int kStopFontPoints = 12;
    static constexpr int kLineFontPoints = 28;
    static const QColor kStarFill;    // gold (238,195,50)
    static const QColor kStarStroke;  // brown (172,76,39)
    // The colours on the list's background; each is made darker or lighter where the palette
    // would leave it below 4.5:1.
    static const QColor kLiveColour;       // live (GPS) minutes and their marker
    static const QColor kTimetableColour;  // timetable minutes
    static const QColor kWarningColour;
    static const QColor kErrorColour;

    // How much of the row is shown faded: nothing, the time (it has grown old), or the whole
    // row (a newer answer is on its way).
    enum class Dimming {
        None,
        Times,
        Whole
    };

    explicit tarvoCellMac(QWidget* parent = nullptr);
    ~tarvoCellMac() override;

    // The item on show; fillFromData renders it.
    std::optional<PlistMap> tarvoData;

    // Renders tarvoData. A departure item shows its fields; an item whose only key is
    // "error" shows the message of that code across the row; missing keys and values of
    // other kinds show as empty texts, never as a failure.
    void fillFromData();
    // Does nothing: a reused row keeps its texts until it is filled again.
    void prepareForReuse();

    // The message shown for an error item's code (the code itself until set).
    void setErrorText(std::function<std::string(std::string_view)> errorText);

    // The row is selected: its texts take colours readable on the palette's highlight.
    void setSelected(bool selected);
    bool isSelected() const { return selected_; }
    void setDimming(Dimming dimming);
    Dimming dimming() const { return dimming_; }
    // The widths this row's columns would like (line number, stop and direction, time; zero for
    // an error row), and what the margins, icon and gaps take. A table gives every row the same
    // line and time widths, so that the stop column starts at the same place in each.
    struct Columns {
        int line = 0;
        int text = 0;
        int time = 0;
    };
    Columns columnHints() const;
    int chromeWidth() const;
    // A line column narrower than its text draws the line number smaller.
    void setColumnWidths(int line, int time);
    int lineColumnHint() const { return columnHints().line; }

    // The colour each text of the row is drawn in now (for the labels that show text).
    QColor textColour(const QWidget* label) const;

    // A Hungarian sentence that a screen reader reads for this row.
    QString accessibleSentence() const { return accessibleSentence_; }

    // Outlets.
    QLabel* tarvoImage = nullptr;
    StarLabel* tarvoLineLabel = nullptr;
    StarLabel* tarvoStopLabel = nullptr;
    QLabel* tarvoDirectionLabel = nullptr;
    QLabel* tarvoTimeLeftLabel = nullptr;
    QLabel* tarvoTimeLeftLabelNoGPS = nullptr;
    // Beyond the departure's own fields: the warning sign, the live marker and the error text.
    QLabel* tarvoWarningLabel = nullptr;
    QLabel* tarvoLiveMarker = nullptr;
    QLabel* tarvoErrorLabel = nullptr;

    // The Hungarian name of a vehicle type ("BUS" → "busz"); "jármű" for others.
    static QString vehicleName(const std::string& type);

protected:
    void changeEvent(QEvent* event) override;

private:
    // Sets every label's colour from the palette, the selection and the dimming.
    void applyColours();
    QColor starStroke() const;
    void showError(const std::string& code);
    void showDeparture(const PlistMap& item);
    void setDepartureControlsVisible(bool visible);

    std::unique_ptr<Ui::tarvoCellMac> ui_;
    std::function<std::string(std::string_view)> errorText_;
    QString accessibleSentence_;
    bool selected_ = false;
    bool cancelled_ = false;  // the departure on show is cancelled: its time reads "elmarad"
    Dimming dimming_ = Dimming::None;
    bool colouring_ = false;
};

}  // namespace velmo
