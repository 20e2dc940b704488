#pragma once
// Location services over Qt Positioning: the system's default source (GeoClue2 on Linux) and
// NMEA logs or devices. The managers they make are used on the Qt main thread.

#include "platform/bundle/Bundle.h"
#include "platform/location/LocationManager.h"
#include "platform/runloop/RunLoop.h"

#include <functional>
#include <iosfwd>
#include <string>

class QGeoPositionInfoSource;
class QObject;

namespace velmo {

// The system's location service, or nullptr when there is none (no positioning source, or no
// GeoClue service on the system bus). The desktop id given to the location agent is the
// bundle's executable name. Authorisation is not determined until the first fix (then
// authorised) or an access error (then denied).
std::unique_ptr<LocationService> makeSystemLocationService(RunLoop& runLoop, const Bundle& bundle);

// The system service's rules over sources made by `makeSource` (which may return nullptr);
// lets tests drive it with a scripted source.
std::unique_ptr<LocationService> makeSystemLocationService(
    RunLoop& runLoop, std::function<QGeoPositionInfoSource*(QObject* parent)> makeSource);

// Fixes from an NMEA source: a log file (replayed), or "serial:DEVICE" / "socket:HOST:PORT".
// A log file that does not exist, or a source the plugin cannot open, gives a service whose
// every start fails; the reason is written as one line to `err`. Log replays are stamped
// with the time they are delivered.
std::unique_ptr<LocationService> makeNmeaLocationService(RunLoop& runLoop, const std::string& source,
                                                         std::ostream& err);

}  // namespace velmo
