#pragma once
// The platform's location service as the core sees it: a manager that reports authorisation
// changes, failures and fixes to its delegate, and a service object that creates managers and
// answers the class-level questions (authorisation status, whether location is enabled).
// Plain C++; the backends live beside it.

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace velmo {

// Raw values match the platform's authorisation status.
enum class AuthorizationStatus : int {
    notDetermined = 0,
    restricted = 1,
    denied = 2,
    authorizedAlways = 3,
    authorizedWhenInUse = 4,
};

// One position fix.
struct Location {
    double latitude = 0.0;
    double longitude = 0.0;
    double horizontalAccuracy = -1.0;  // radius of uncertainty in metres; negative: unknown
    std::chrono::system_clock::time_point timestamp{};
};

// A failure reported by the platform.
struct LocationError {
    enum Code : int {
        locationUnknown = 0,  // no fix could be obtained (yet)
        denied = 1,           // access refused
        network = 2,
        invalidSource = 3,  // the configured source cannot be used
    };
    int code = locationUnknown;
    std::string message;
};

inline constexpr double kLocationAccuracyBest = -1.0;
inline constexpr double kLocationAccuracyNearestTenMeters = 10.0;
inline constexpr double kLocationAccuracyHundredMeters = 100.0;
inline constexpr double kLocationAccuracyKilometer = 1000.0;
inline constexpr double kDistanceFilterNone = -1.0;

class LocationManager;

// Told what the manager learns; every call arrives through the main run loop, never inside
// a call made on the manager.
class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    virtual void locationManagerDidChangeAuthorization(LocationManager& manager, AuthorizationStatus status) = 0;
    virtual void locationManagerDidFailWithError(LocationManager& manager, const LocationError& error) = 0;
    // `locations` is ordered oldest first; it may be empty.
    virtual void locationManagerDidUpdateLocations(LocationManager& manager,
                                                   const std::vector<Location>& locations) = 0;
};

class LocationManager {
public:
    virtual ~LocationManager() = default;
    // Not owned; the delegate must outlive the manager or be reset first. A newly set
    // delegate is told the current authorisation status soon after, through the run loop.
    virtual void setDelegate(LocationManagerDelegate* delegate) = 0;
    virtual void setDesiredAccuracy(double metres) = 0;
    virtual void setDistanceFilter(double metres) = 0;
    virtual void startUpdatingLocation() = 0;
    virtual void stopUpdatingLocation() = 0;
};

// The location service of the platform (one per process in a program, a fake in tests).
class LocationService {
public:
    virtual ~LocationService() = default;
    virtual std::unique_ptr<LocationManager> makeManager() = 0;
    virtual AuthorizationStatus authorizationStatus() const = 0;
    virtual bool locationServicesEnabled() const = 0;
};

}  // namespace velmo
