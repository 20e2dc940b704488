#pragma once
// Each test gets a private, empty settings folder (TempHome); nothing touches the user's own.

#include "core/settings/AppSettings.h"
#include "core/settings/PlistJson.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/support/TempHome.h"

#include <ostream>

namespace velmo {
// Failure messages show values as JSON text.
inline void PrintTo(const PlistValue& value, std::ostream* os) {
    *os << PlistValue::kindName(value.kind()) << " " << plistToJson(value).dump();
}
}  // namespace velmo

namespace velmo::test {

class SettingsFixture : public TempHome {
protected:
    // The shared suite itself, bypassing AppSettings.
    static UserDefaults suite() { return UserDefaults(AppSettings::kAppGroup); }
};

}  // namespace velmo::test
