#pragma once
// A location service scripted by tests: the test sets the authorisation status and feeds
// fixes and failures; every delegate call reaches the delegate through the run loop, as the
// platform's would. Managers record what was asked of them.

#include "platform/location/RunLoopLocationManager.h"

#include <optional>
#include <vector>

namespace velmo {

class FakeLocationService;

class FakeLocationManager final : public RunLoopLocationManager {
public:
    FakeLocationManager(FakeLocationService& service, RunLoop& runLoop);
    ~FakeLocationManager() override;

    void startUpdatingLocation() override;
    void stopUpdatingLocation() override;

    bool isUpdating() const { return updating_; }
    int startCount() const { return starts_; }
    int stopCount() const { return stops_; }

private:
    friend class FakeLocationService;
    FakeLocationService* service_;
    bool updating_ = false;
    int starts_ = 0;
    int stops_ = 0;
};

class FakeLocationService final : public LocationService {
public:
    explicit FakeLocationService(RunLoop& runLoop, AuthorizationStatus status = AuthorizationStatus::notDetermined,
                                 bool enabled = true);
    ~FakeLocationService() override;

    std::unique_ptr<LocationManager> makeManager() override;
    AuthorizationStatus authorizationStatus() const override { return status_; }
    bool locationServicesEnabled() const override { return enabled_; }

    void setLocationServicesEnabled(bool enabled) { enabled_ = enabled; }
    // Changes the status without telling anyone (as a query would see it).
    void setAuthorizationStatus(AuthorizationStatus status) { status_ = status; }
    // Changes the status and tells the delegate of every manager.
    void changeAuthorization(AuthorizationStatus status);
    // Delivers fixes (oldest first) to every manager, updating or not.
    void deliverLocations(std::vector<Location> locations);
    void deliverLocation(const Location& location) { deliverLocations({location}); }
    void fail(LocationError error);
    // When set, each start of updates answers with this fix (through the run loop).
    void setFixOnStart(std::optional<Location> fix) { fixOnStart_ = std::move(fix); }

    int managersCreated() const { return created_; }
    // The most recently created manager that still exists, or nullptr.
    FakeLocationManager* lastManager() const { return managers_.empty() ? nullptr : managers_.back(); }

private:
    friend class FakeLocationManager;
    template <typename F>
    void forEachManager(F f);

    RunLoop& runLoop_;
    AuthorizationStatus status_;
    bool enabled_;
    std::optional<Location> fixOnStart_;
    std::vector<FakeLocationManager*> managers_;
    int created_ = 0;
};

}  // namespace velmo
