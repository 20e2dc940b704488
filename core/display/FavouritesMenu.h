#pragma once
// The right-click menu of a departure row: "Kedvenc megálló: <stop>" and "Kedvenc járat:
// <line>" as checkable entries that add the row's stop or line to the favourite lists, or
// remove it.

#include "platform/defaults/PlistValue.h"

#include <functional>
#include <string>
#include <vector>

class QMenu;

namespace velmo {

class AppSettings;

// One stored change of a favourite: the stop ("stopId") or line ("routeId") it names, and
// whether it is a favourite now.
struct FavouriteChange {
    enum class Kind {
        Stop,
        Line
    };
    Kind kind = Kind::Stop;
    std::string id;
    bool on = false;
};

// Adds the two entries to `menu`, checked when the item's "stopId" / "routeId" is already a
// favourite. Toggling one stores {"raw": id, "display": name} in "settingFavStopList" (stop
// "name") or "settingFavTripList" (line "shortName"), or removes it, then tells `changed`.
// An entry whose identifier the item lacks is shown disabled. `settings` must outlive the menu.
void addFavouriteActions(QMenu& menu, const PlistMap& item, AppSettings& settings,
                         std::function<void(const FavouriteChange&)> changed = {});

// Sets "favStop" / "favRoute" on every item of the changed stop or line, so that a list on
// show agrees with the stored favourites before the next query. Returns true when `item`
// changed.
bool applyFavouriteChange(PlistMap& item, const FavouriteChange& change);
void applyFavouriteChange(std::vector<PlistMap>& items, const FavouriteChange& change);

}  // namespace velmo
