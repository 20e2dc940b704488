#pragma once
// "Pozíció megadása": where the user says where they are when the position cannot be had. A
// search box over stop names (asked of the departures source) lists the matches with their
// city; coordinates typed or pasted ("47.4979, 19.0402[, 25]", as the settings take them)
// are offered as one row. The chosen row is stored as the fixed position, with the location
// source set to it, and positionStored() follows.
//
// Keys: the search box keeps the focus, Up and Down walk the matches, Enter chooses, Esc closes.

#include <QDialog>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QLabel;
class QLineEdit;
class QListWidget;
class QTimer;

namespace velmo {

class DeparturesClient;
struct StopChoice;

class PositionDialog : public QDialog {
    Q_OBJECT
public:
    // `client` must outlive the dialog.
    explicit PositionDialog(DeparturesClient& client, QWidget* parent = nullptr);
    ~PositionDialog() override;

    // The box's text searched at once, not after the typing pause.
    void searchNow();

    QLineEdit* searchBox = nullptr;
    QListWidget* matchList = nullptr;
    QLabel* messageLine = nullptr;

    // Whether an error code means the position could not be had (the NOLOCATION codes).
    static bool offersPosition(std::string_view code);

signals:
    void positionStored();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void showMatches(int query, const std::optional<std::string>& error, const std::vector<StopChoice>& stops);
    void choose();

    DeparturesClient& client_;
    QTimer* pause_ = nullptr;
    int query_ = 0;  // the newest search; older answers are dropped
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmo
