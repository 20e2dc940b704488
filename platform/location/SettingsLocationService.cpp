#include "platform/location/SettingsLocationService.h"

#include "platform/defaults/UserDefaults.h"

#include <utility>

namespace velmo {

namespace {

// Hands the manager of the current choice to the delegate as if it were itself, and swaps it
// for one of the new choice at the first start after the choice changed.
class FollowingManager final : public LocationManager, private LocationManagerDelegate {
public:
    explicit FollowingManager(SettingsLocationService& service) : service_(service) {}
    ~FollowingManager() override {
        if (inner_) {
            inner_->setDelegate(nullptr);
        }
    }

    void setDelegate(LocationManagerDelegate* delegate) override {
        delegate_ = delegate;
        if (!inner_) {
            makeInner();
        }
        inner_->setDelegate(delegate ? this : nullptr);
    }
    void setDesiredAccuracy(double metres) override {
        accuracy_ = metres;
        inner_->setDesiredAccuracy(metres);
    }
    void setDistanceFilter(double metres) override {
        filter_ = metres;
        inner_->setDistanceFilter(metres);
    }
    void startUpdatingLocation() override {
        if (generation_ != service_.generation()) {
            inner_->setDelegate(nullptr);
            makeInner();
            // The caller has just read the new service's status; hearing it again from the
            // new manager would start it twice.
            swallowStatus_ = service_.current().authorizationStatus();
            inner_->setDelegate(delegate_ ? this : nullptr);
        }
        inner_->startUpdatingLocation();
    }
    void stopUpdatingLocation() override { inner_->stopUpdatingLocation(); }

private:
    void makeInner() {
        inner_ = service_.current().makeManager();
        generation_ = service_.generation();
        inner_->setDesiredAccuracy(accuracy_);
        inner_->setDistanceFilter(filter_);
    }

    void locationManagerDidChangeAuthorization(LocationManager&, AuthorizationStatus status) override {
        const auto swallow = std::exchange(swallowStatus_, std::nullopt);
        if (delegate_ && swallow != status) {
            delegate_->locationManagerDidChangeAuthorization(*this, status);
        }
    }
    void locationManagerDidFailWithError(LocationManager&, const LocationError& error) override {
        if (delegate_) {
            delegate_->locationManagerDidFailWithError(*this, error);
        }
    }
    void locationManagerDidUpdateLocations(LocationManager&, const std::vector<Location>& locations) override {
        if (delegate_) {
            delegate_->locationManagerDidUpdateLocations(*this, locations);
        }
    }

    SettingsLocationService& service_;
    std::unique_ptr<LocationManager> inner_;
    int generation_ = 0;
    LocationManagerDelegate* delegate_ = nullptr;
    double accuracy_ = kLocationAccuracyBest;
    double filter_ = kDistanceFilterNone;
    std::optional<AuthorizationStatus> swallowStatus_;
};

}  // namespace

SettingsLocationService::SettingsLocationService(RunLoop& runLoop, const Bundle& bundle, std::string suiteName,
                                                 std::optional<std::string> position, std::ostream& err,
                                                 std::function<std::unique_ptr<LocationService>()> systemService)
    : runLoop_(runLoop),
      bundle_(bundle),
      suiteName_(std::move(suiteName)),
      position_(std::move(position)),
      err_(err),
      systemService_(std::move(systemService)),
      settings_(readSettings()),
      choice_(chooseLocationService(runLoop_, bundle_, UserDefaults(suiteName_), position_, err_, systemService_)) {}

SettingsLocationService::~SettingsLocationService() = default;

std::pair<std::optional<std::string>, std::optional<std::string>> SettingsLocationService::readSettings() const {
    const UserDefaults suite(suiteName_);
    return {suite.stringForKey(kLocationSourceKey), suite.stringForKey(kLocationFixedKey)};
}

void SettingsLocationService::refresh() {
    // --position wins over the settings for the program's whole run.
    if (position_) {
        return;
    }
    auto now = readSettings();
    if (now == settings_) {
        return;
    }
    settings_ = std::move(now);
    // Managers made under the old choice still hold on to it until their next start.
    retired_.push_back(std::move(choice_.service));
    choice_ = chooseLocationService(runLoop_, bundle_, UserDefaults(suiteName_), position_, err_, systemService_);
    ++generation_;
}

std::unique_ptr<LocationManager> SettingsLocationService::makeManager() {
    return std::make_unique<FollowingManager>(*this);
}

}  // namespace velmo
