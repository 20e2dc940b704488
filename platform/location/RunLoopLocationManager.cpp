#include "platform/location/RunLoopLocationManager.h"

namespace velmo {

RunLoopLocationManager::RunLoopLocationManager(RunLoop& runLoop, std::function<AuthorizationStatus()> currentStatus)
    : runLoop_(runLoop),
      currentStatus_(std::move(currentStatus)),
      alive_(std::make_shared<RunLoopLocationManager*>(this)) {}

RunLoopLocationManager::~RunLoopLocationManager() { *alive_ = nullptr; }

void RunLoopLocationManager::setDelegate(LocationManagerDelegate* delegate) {
    delegate_ = delegate;
    if (delegate) {
        postToDelegate([status = currentStatus_()](LocationManagerDelegate& d, LocationManager& m) {
            d.locationManagerDidChangeAuthorization(m, status);
        });
    }
}

void RunLoopLocationManager::deliverAuthorization(AuthorizationStatus status) {
    postToDelegate([status](LocationManagerDelegate& d, LocationManager& m) {
        d.locationManagerDidChangeAuthorization(m, status);
    });
}

void RunLoopLocationManager::deliverFailure(LocationError error) {
    postToDelegate([error = std::move(error)](LocationManagerDelegate& d, LocationManager& m) {
        d.locationManagerDidFailWithError(m, error);
    });
}

void RunLoopLocationManager::deliverLocations(std::vector<Location> locations) {
    postToDelegate([locations = std::move(locations)](LocationManagerDelegate& d, LocationManager& m) {
        d.locationManagerDidUpdateLocations(m, locations);
    });
}

void RunLoopLocationManager::postToDelegate(std::function<void(LocationManagerDelegate&, LocationManager&)> call) {
    std::weak_ptr<RunLoopLocationManager*> weak = alive_;
    runLoop_.post([weak, call = std::move(call)] {
        auto alive = weak.lock();
        if (!alive || !*alive) {
            return;
        }
        RunLoopLocationManager* self = *alive;
        if (LocationManagerDelegate* delegate = self->delegate_) {
            call(*delegate, *self);
        }
    });
}

}  // namespace velmo
