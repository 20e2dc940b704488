#pragma once
// The right-click menu of a departure row: "Kedvenc megálló" and "Kedvenc járat" as
// checkable entries that add the row's stop or line to the favourite lists, or remove it.

#include "platform/defaults/PlistValue.h"

class QMenu;

namespace velmo {

class AppSettings;

// Adds the two entries to `menu`, checked when the item's "stopId" / "routeId" is already a
// favourite. Toggling one stores {"raw": id, "display": name} in "settingFavStopList" (stop
// "name") or "settingFavTripList" (line "shortName"), or removes it. An entry whose
// identifier the item lacks is shown disabled. `settings` must outlive the menu.
void addFavouriteActions(QMenu& menu, const PlistMap& item, AppSettings& settings);

}  // namespace velmo
