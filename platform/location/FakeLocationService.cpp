#include "platform/location/FakeLocationService.h"

#include <algorithm>

namespace velmo {

FakeLocationManager::FakeLocationManager(FakeLocationService& service, RunLoop& runLoop)
    : RunLoopLocationManager(runLoop, [&service] { return service.authorizationStatus(); }), service_(&service) {}

FakeLocationManager::~FakeLocationManager() {
    if (service_) {
        auto& all = service_->managers_;
        all.erase(std::remove(all.begin(), all.end(), this), all.end());
    }
}

void FakeLocationManager::startUpdatingLocation() {
    updating_ = true;
    ++starts_;
    if (service_ && service_->fixOnStart_) {
        deliverLocations({*service_->fixOnStart_});
    }
}

void FakeLocationManager::stopUpdatingLocation() {
    updating_ = false;
    ++stops_;
}

FakeLocationService::FakeLocationService(RunLoop& runLoop, AuthorizationStatus status, bool enabled)
    : runLoop_(runLoop), status_(status), enabled_(enabled) {}

FakeLocationService::~FakeLocationService() {
    for (FakeLocationManager* manager : managers_) {
        manager->service_ = nullptr;
    }
}

std::unique_ptr<LocationManager> FakeLocationService::makeManager() {
    auto manager = std::make_unique<FakeLocationManager>(*this, runLoop_);
    managers_.push_back(manager.get());
    ++created_;
    return manager;
}

template <typename F>
void FakeLocationService::forEachManager(F f) {
    for (FakeLocationManager* manager : managers_) {
        f(*manager);
    }
}

void FakeLocationService::changeAuthorization(AuthorizationStatus status) {
    status_ = status;
    forEachManager([status](FakeLocationManager& m) { m.deliverAuthorization(status); });
}

void FakeLocationService::deliverLocations(std::vector<Location> locations) {
    forEachManager([&locations](FakeLocationManager& m) { m.deliverLocations(locations); });
}

void FakeLocationService::fail(LocationError error) {
    forEachManager([&error](FakeLocationManager& m) { m.deliverFailure(error); });
}

}  // namespace velmo
