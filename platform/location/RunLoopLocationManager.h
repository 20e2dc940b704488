#pragma once
// Shared part of the backends: keeps the delegate and the desired accuracy, and hands every
// delegate call to the main run loop so that it never runs inside a call on the manager and
// never reaches a delegate after the manager is gone.

#include "platform/location/LocationManager.h"
#include "platform/runloop/RunLoop.h"

#include <functional>
#include <memory>

namespace velmo {

class RunLoopLocationManager : public LocationManager {
public:
    RunLoopLocationManager(RunLoop& runLoop, std::function<AuthorizationStatus()> currentStatus);
    ~RunLoopLocationManager() override;

    void setDelegate(LocationManagerDelegate* delegate) override;
    void setDesiredAccuracy(double metres) override { desiredAccuracy_ = metres; }
    void setDistanceFilter(double metres) override { distanceFilter_ = metres; }

    LocationManagerDelegate* delegate() const { return delegate_; }
    double desiredAccuracy() const { return desiredAccuracy_; }
    double distanceFilter() const { return distanceFilter_; }

protected:
    // Each posts one delegate call to the run loop.
    void deliverAuthorization(AuthorizationStatus status);
    void deliverFailure(LocationError error);
    void deliverLocations(std::vector<Location> locations);
    RunLoop& runLoop() const { return runLoop_; }

private:
    void postToDelegate(std::function<void(LocationManagerDelegate&, LocationManager&)> call);

    RunLoop& runLoop_;
    std::function<AuthorizationStatus()> currentStatus_;
    LocationManagerDelegate* delegate_ = nullptr;
    double desiredAccuracy_ = kLocationAccuracyBest;
    double distanceFilter_ = kDistanceFilterNone;
    std::shared_ptr<RunLoopLocationManager*> alive_;  // reset in the destructor
};

}  // namespace velmo
