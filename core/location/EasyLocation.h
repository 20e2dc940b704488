#pragma once
// One position fix per request over the platform's location service: walks the authorisation
// states, guards the request with a one-shot time-out on the main run loop, keeps the best
// recent fix and may answer a timed-out request with it. A request ends with at most one call
// of its callback, carrying a location or an error. Everything runs on the main thread.

#include "platform/bundle/Bundle.h"
#include "platform/location/LocationManager.h"
#include "platform/runloop/RunLoop.h"

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace velmo {

enum class EasyLocationType : int {
    locationTypeNone = 0,
    locationTypeSingle = 1,
    locationTypeContinuous = 2,
};

// The enumeration value for a raw value; absent for anything but 0, 1 and 2.
std::optional<EasyLocationType> easyLocationTypeFromRawValue(int raw);

// The error a request ends with: domain "<program>.EasyLocation" and one of the codes below.
struct EasyLocationError {
    std::string domain;
    int code = 0;

    enum Code : int {
        restricted = 0,          // authorisation restricted, or no location service at all
        denied = 1,              // authorisation denied
        failed = 2,              // the platform failed, or the time-out passed without a fix
        noUsageDescription = 3,  // the bundle has no "NSLocationUsageDescription"
    };
};

class EasyLocation final : public LocationManagerDelegate {
public:
    using Callback = std::function<void(std::optional<Location>, std::optional<EasyLocationError>)>;
    using ContinuousCallback = std::function<void(
        std::optional<Location>, std::optional<std::map<std::string, std::string>>, std::optional<EasyLocationError>)>;

    // `service`, `runLoop` and `bundle` must outlive the provider. The status line of each
    // request goes to `out` (standard output in the programs).
    EasyLocation(LocationService& service, RunLoop& runLoop, const Bundle& bundle);
    EasyLocation(LocationService& service, RunLoop& runLoop, const Bundle& bundle, std::ostream& out);
    ~EasyLocation() override;
    EasyLocation(const EasyLocation&) = delete;
    EasyLocation& operator=(const EasyLocation&) = delete;

    // Starts a single request; a pending request's callback is replaced and never called.
    // `accuracy` (metres) goes to the manager; `accuracy_threshold` filters nothing;
    // `timeout` is in seconds.
    void getLocation(double accuracy, double accuracy_threshold, double timeout, Callback callback);
    // Continuous delivery is not offered: both do nothing.
    void getLocationContinuous(ContinuousCallback callback);
    void cancelLocation();

    // A timed-out request may be answered with the stored fix when its horizontal accuracy is
    // at most failbackLocationAccuracy (which must be above 0).
    bool allowFailbackToLastLocation = false;
    double failbackLocationAccuracy = 0.0;

    // The time-out handler (the timer runs it).
    void locationTimeOut();

    // Read access for callers and tests.
    EasyLocationType locationType() const { return locationType_; }
    const std::optional<Location>& lastLocation() const { return lastLocation_; }
    bool hasPendingCallback() const { return static_cast<bool>(callback_); }
    bool isTimerArmed() const { return static_cast<bool>(locationTimer_); }
    const std::string& errorDomain() const { return domain_; }

    // LocationManagerDelegate
    void locationManagerDidChangeAuthorization(LocationManager& manager, AuthorizationStatus status) override;
    void locationManagerDidFailWithError(LocationManager& manager, const LocationError& error) override;
    void locationManagerDidUpdateLocations(LocationManager& manager, const std::vector<Location>& locations) override;

private:
    void checkAuthorization(AuthorizationStatus status);
    void requestPermission();
    void startLocation();
    void handleFix(const Location& fix);
    void locationReply(std::optional<Location> location, std::optional<EasyLocationError> error);
    EasyLocationError makeError(int code) const;
    long long ageInSeconds(const Location& fix) const;
    void dropTimers();

    LocationService& service_;
    RunLoop& runLoop_;
    const Bundle& bundle_;
    std::ostream& out_;
    std::string domain_;

    Callback callback_;
    ContinuousCallback callbackContinuous_;
    std::unique_ptr<LocationManager> manager_;
    std::optional<double> timeout_;
    std::optional<double> accuracy_;
    std::shared_ptr<Timer> locationTimer_;
    // Deadline while access is still undetermined (see startLocation).
    std::shared_ptr<Timer> accessTimer_;
    std::optional<Location> lastLocation_;
    EasyLocationType locationType_ = EasyLocationType::locationTypeNone;
};

}  // namespace velmo
