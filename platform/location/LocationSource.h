#pragma once
// Chooses a program's location service from its parsed command line and the shared settings
// suite.
//
//   position (--position LAT,LON[,ACC])  a fixed position; wins over the settings
//   "locationSource" = "system" (default) | "fixed" | "nmea:PATH"
//   "locationFixed"  = "LAT,LON[,ACC]", used by "fixed", and by "system" when the system has
//                      no location service
//
// Bad input (a malformed position, a missing NMEA log, an unknown source) is named in one line
// on `err`, and the service returned then fails each request at once (error code 2); with no
// source at all, requests end as restricted (code 0). Neither keys belong to the settings
// catalogue.

#include "platform/bundle/Bundle.h"
#include "platform/location/LocationManager.h"
#include "platform/runloop/RunLoop.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>

namespace velmo {

class UserDefaults;

inline constexpr const char* kLocationSourceKey = "locationSource";
inline constexpr const char* kLocationFixedKey = "locationFixed";

struct LocationServiceChoice {
    std::unique_ptr<LocationService> service;
    std::string description;  // "system", "fixed", "nmea:PATH", "unavailable" or "invalid"
};

// `position` is the value of the program's --position option, if it was given.
// `systemService` stands for the system's location service (nullptr: none); by default
// makeSystemLocationService.
LocationServiceChoice chooseLocationService(
    RunLoop& runLoop, const Bundle& bundle, const UserDefaults& sharedSuite, const std::optional<std::string>& position,
    std::ostream& err, const std::function<std::unique_ptr<LocationService>()>& systemService = {});

}  // namespace velmo
