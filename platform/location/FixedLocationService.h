#pragma once
// Location services that need no device: a fixed position (from "--position LAT,LON[,ACC]" or
// the setting "locationFixed"), a source that fails every start (for a misconfigured source),
// and the absence of any location service.

#include "platform/location/RunLoopLocationManager.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmo {

struct FixedPosition {
    double latitude = 0.0;
    double longitude = 0.0;
    double horizontalAccuracy = 50.0;  // metres, when the text gives none
};

// Parses "LAT,LON" or "LAT,LON,ACCURACY" (decimal degrees and metres, spaces around the parts
// allowed). Absent for anything else, latitude outside [-90, 90], longitude outside
// [-180, 180], a negative accuracy, or a value that is not finite.
std::optional<FixedPosition> parseFixedPosition(std::string_view text);

// Always authorised; each start of updates delivers one fix of the position, stamped now.
class FixedLocationService final : public LocationService {
public:
    FixedLocationService(RunLoop& runLoop, FixedPosition position);
    std::unique_ptr<LocationManager> makeManager() override;
    AuthorizationStatus authorizationStatus() const override { return AuthorizationStatus::authorizedWhenInUse; }
    bool locationServicesEnabled() const override { return true; }
    const FixedPosition& position() const { return position_; }

private:
    RunLoop& runLoop_;
    FixedPosition position_;
};

// A configured source that cannot work: authorised, but every start of updates reports a
// failure carrying `reason`, so a request ends at once instead of waiting.
class FailingLocationService final : public LocationService {
public:
    FailingLocationService(RunLoop& runLoop, std::string reason);
    std::unique_ptr<LocationManager> makeManager() override;
    AuthorizationStatus authorizationStatus() const override { return AuthorizationStatus::authorizedWhenInUse; }
    bool locationServicesEnabled() const override { return true; }
    const std::string& reason() const { return reason_; }

private:
    RunLoop& runLoop_;
    std::string reason_;
};

// No location service on this system: disabled, authorisation restricted.
class UnavailableLocationService final : public LocationService {
public:
    explicit UnavailableLocationService(RunLoop& runLoop) : runLoop_(runLoop) {}
    std::unique_ptr<LocationManager> makeManager() override;
    AuthorizationStatus authorizationStatus() const override { return AuthorizationStatus::restricted; }
    bool locationServicesEnabled() const override { return false; }

private:
    RunLoop& runLoop_;
};

}  // namespace velmo
