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

void addToggle(QMenu& menu, const QString& title, const char* listKey, const std::string& raw,
               const std::string& display, AppSettings& settings) {
    QAction* action = menu.addAction(title);
    action->setCheckable(true);
    if (raw.empty()) {
        action->setEnabled(false);
        return;
    }
    action->setChecked(settings.getStringList(listKey, raw));
    QObject::connect(action, &QAction::toggled, &menu, [&settings, listKey, raw, display](bool on) {
        if (on)
            settings.setStringList(listKey, raw, display.empty() ? raw : display);
        else
            settings.delStringList(listKey, raw);
    });
}

}  // namespace

void addFavouriteActions(QMenu& menu, const PlistMap& item, AppSettings& settings) {
    addToggle(menu, QStringLiteral("Kedvenc megálló"), "settingFavStopList", stringOf(item, "stopId"),
              stringOf(item, "name"), settings);
    addToggle(menu, QStringLiteral("Kedvenc járat"), "settingFavTripList", stringOf(item, "routeId"),
              stringOf(item, "shortName"), settings);
}

}  // namespace velmo
