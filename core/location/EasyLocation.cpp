#include "core/location/EasyLocation.h"

#include <cmath>
#include <iostream>

namespace velmo {

std::optional<EasyLocationType> easyLocationTypeFromRawValue(int raw) {
    switch (raw) {
        case 0: return EasyLocationType::locationTypeNone;
        case 1: return EasyLocationType::locationTypeSingle;
        case 2: return EasyLocationType::locationTypeContinuous;
        default: return std::nullopt;
    }
}

EasyLocation::EasyLocation(LocationService& service, RunLoop& runLoop, const Bundle& bundle)
    : EasyLocation(service, runLoop, bundle, std::cout) {}

EasyLocation::EasyLocation(LocationService& service, RunLoop& runLoop, const Bundle& bundle, std::ostream& out)
    : service_(service), runLoop_(runLoop), bundle_(bundle), out_(out) {
    const std::string program = bundle_.info(kBundleExecutableKey).value_or("velmomac");
    domain_ = program + ".EasyLocation";
}

EasyLocation::~EasyLocation() {
    dropTimers();
    if (manager_) {
        manager_->setDelegate(nullptr);
    }
}

void EasyLocation::getLocation(double accuracy, double accuracy_threshold, double timeout, Callback callback) {
    (void)accuracy_threshold;  // accepted with the request; filters nothing
    locationType_ = EasyLocationType::locationTypeSingle;
    callback_ = std::move(callback);
    timeout_ = timeout;
    accuracy_ = accuracy;

    out_ << "Location services enabled: " << (service_.locationServicesEnabled() ? "true" : "false") << std::endl;

    if (manager_) {
        manager_->setDesiredAccuracy(accuracy);
        manager_->setDistanceFilter(kDistanceFilterNone);
        checkAuthorization(service_.authorizationStatus());
        return;
    }
    // The new manager reports the current status to its delegate, which continues the request.
    manager_ = service_.makeManager();
    manager_->setDelegate(this);
    manager_->setDesiredAccuracy(accuracy);
    manager_->setDistanceFilter(kDistanceFilterNone);
}

void EasyLocation::getLocationContinuous(ContinuousCallback /*callback*/) {}

void EasyLocation::cancelLocation() {}

void EasyLocation::checkAuthorization(AuthorizationStatus status) {
    switch (status) {
        case AuthorizationStatus::notDetermined: requestPermission(); break;
        case AuthorizationStatus::restricted:
            locationReply(std::nullopt, makeError(EasyLocationError::restricted));
            break;
        case AuthorizationStatus::denied: locationReply(std::nullopt, makeError(EasyLocationError::denied)); break;
        default: startLocation(); break;
    }
}

void EasyLocation::requestPermission() {
    // The platform asks the user when updates start, which needs a reason to show.
    if (bundle_.info(kLocationUsageDescriptionKey).has_value()) {
        startLocation();
    } else {
        locationReply(std::nullopt, makeError(EasyLocationError::noUsageDescription));
    }
}

void EasyLocation::startLocation() {
    const AuthorizationStatus status = service_.authorizationStatus();
    const bool single = locationType_ == EasyLocationType::locationTypeSingle;
    const double interval = timeout_.value_or(0.0);
    const bool authorised = status != AuthorizationStatus::denied && status != AuthorizationStatus::notDetermined &&
                            status != AuthorizationStatus::restricted;
    if (authorised && !locationTimer_ && single) {
        locationTimer_ = runLoop_.scheduleTimer(RunLoop::Seconds{interval}, [this] { locationTimeOut(); });
        // Access is settled: the request's deadline counts from now.
        if (accessTimer_) {
            accessTimer_->invalidate();
            accessTimer_.reset();
        }
    } else if (status == AuthorizationStatus::notDetermined && !locationTimer_ && !accessTimer_ && single) {
        // Until access is settled, fixes are only stored. A source that never settles it (an
        // agent that fails silently) would leave the request waiting for ever, so the wait for
        // access has a deadline of its own, ending like a time-out.
        accessTimer_ = runLoop_.scheduleTimer(RunLoop::Seconds{interval}, [this] { locationTimeOut(); });
    }
    if (single && manager_) {
        manager_->startUpdatingLocation();
    }
}

long long EasyLocation::ageInSeconds(const Location& fix) const {
    const std::chrono::duration<double> offset = fix.timestamp - runLoop_.now();
    return static_cast<long long>(std::llround(std::fabs(offset.count())));
}

void EasyLocation::handleFix(const Location& fix) {
    const long long age = ageInSeconds(fix);
    if (!lastLocation_) {
        lastLocation_ = fix;
    } else if (lastLocation_->horizontalAccuracy >= fix.horizontalAccuracy) {
        lastLocation_ = fix;
    } else if (!(ageInSeconds(*lastLocation_) < age)) {
        // The stored fix is more accurate, but not more recent.
        lastLocation_ = fix;
    }

    if (locationTimer_ || locationType_ == EasyLocationType::locationTypeContinuous) {
        locationReply(fix, std::nullopt);
    }
}

void EasyLocation::locationTimeOut() {
    if (manager_) {
        manager_->stopUpdatingLocation();
    }
    dropTimers();
    if (allowFailbackToLastLocation && lastLocation_ && failbackLocationAccuracy > 0 &&
        failbackLocationAccuracy >= lastLocation_->horizontalAccuracy) {
        locationReply(lastLocation_, std::nullopt);
    } else {
        locationReply(std::nullopt, makeError(EasyLocationError::failed));
    }
}

void EasyLocation::locationReply(std::optional<Location> location, std::optional<EasyLocationError> error) {
    if (locationType_ == EasyLocationType::locationTypeSingle) {
        dropTimers();
        if (manager_) {
            manager_->stopUpdatingLocation();
        }
    }
    if (callback_) {
        // Cleared before the call: the callback may start the next request (or end this
        // provider's life), and that must not be undone afterwards.
        Callback callback = std::move(callback_);
        callback_ = nullptr;
        callback(std::move(location), std::move(error));
    } else if (callbackContinuous_) {
        callbackContinuous_(std::move(location), std::nullopt, std::move(error));
    }
}

EasyLocationError EasyLocation::makeError(int code) const { return EasyLocationError{domain_, code}; }

void EasyLocation::dropTimers() {
    for (auto* timer : {&locationTimer_, &accessTimer_}) {
        if (*timer) {
            (*timer)->invalidate();
            timer->reset();
        }
    }
}

void EasyLocation::locationManagerDidChangeAuthorization(LocationManager& /*manager*/, AuthorizationStatus status) {
    checkAuthorization(status);
}

void EasyLocation::locationManagerDidFailWithError(LocationManager& /*manager*/, const LocationError& /*error*/) {
    locationReply(std::nullopt, makeError(EasyLocationError::failed));
}

void EasyLocation::locationManagerDidUpdateLocations(LocationManager& /*manager*/,
                                                     const std::vector<Location>& locations) {
    if (locations.empty()) {
        return;
    }
    handleFix(locations.back());
}

}  // namespace velmo
