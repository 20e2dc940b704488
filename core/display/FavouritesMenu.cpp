#include "core/display/FavouritesMenu.h"

#include "core/settings/AppSettings.h"

#include <QAction>
#include <QMenu>

namespace velmo {

namespace {

std::string stringOf(const PlistMap& item, const char* key) {
    const auto found = item.find(key);
    if (found == item.end())
        return {};
    return found->second.toString().value_or("");
}

const char* idKey(FavouriteChange::Kind kind) { return kind == FavouriteChange::Kind::Stop ? "stopId" : "routeId"; }
const char* flagKey(FavouriteChange::Kind kind) { return kind == FavouriteChange::Kind::Stop ? "favStop" : "favRoute"; }

void addToggle(QMenu& menu, const QString& title, FavouriteChange::Kind kind, const std::string& raw,
               const std::string& display, AppSettings& settings,
               const std::function<void(const FavouriteChange&)>& changed) {
    // The entry names what it acts on, so a menu opened on the wrong row says so.
    QAction* action =
        menu.addAction(display.empty() ? title : title + QStringLiteral(": ") + QString::fromStdString(display));
    action->setCheckable(true);
    if (raw.empty()) {
        action->setEnabled(false);
        return;
    }
    const char* listKey = kind == FavouriteChange::Kind::Stop ? "settingFavStopList" : "settingFavTripList";
    action->setChecked(settings.getStringList(listKey, raw));
    QObject::connect(action, &QAction::toggled, &menu, [&settings, listKey, kind, raw, display, changed](bool on) {
        if (on)
            settings.setStringList(listKey, raw, display.empty() ? raw : display);
        else
            settings.delStringList(listKey, raw);
        if (changed)
            changed(FavouriteChange{kind, raw, on});
    });
}

}  // namespace

void addFavouriteActions(QMenu& menu, const PlistMap& item, AppSettings& settings,
                         std::function<void(const FavouriteChange&)> changed) {
    addToggle(menu, QStringLiteral("Kedvenc megálló"), FavouriteChange::Kind::Stop, stringOf(item, "stopId"),
              stringOf(item, "name"), settings, changed);
    addToggle(menu, QStringLiteral("Kedvenc járat"), FavouriteChange::Kind::Line, stringOf(item, "routeId"),
              stringOf(item, "shortName"), settings, changed);
}

bool applyFavouriteChange(PlistMap& item, const FavouriteChange& change) {
    if (change.id.empty() || stringOf(item, idKey(change.kind)) != change.id)
        return false;
    PlistValue& flag = item[flagKey(change.kind)];
    if (flag.ifBool() && *flag.ifBool() == change.on)
        return false;
    flag = change.on;
    return true;
}

void applyFavouriteChange(std::vector<PlistMap>& items, const FavouriteChange& change) {
    for (PlistMap& item : items)
        applyFavouriteChange(item, change);
}

}  // namespace velmo
