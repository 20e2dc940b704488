#include "platform/location/FixedLocationService.h"

#include "platform/text/NumberText.h"

#include <cmath>
#include <vector>

namespace velmo {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<double> parseNumber(std::string_view s) {
    s = trim(s);
    const std::optional<DecimalNumber> number = readDecimal(s, DecimalForm::fixed);
    if (!number || !number->inRange) {
        return std::nullopt;
    }
    return number->value;
}

class FixedManager final : public RunLoopLocationManager {
public:
    FixedManager(RunLoop& runLoop, FixedPosition position)
        : RunLoopLocationManager(runLoop, [] { return AuthorizationStatus::authorizedWhenInUse; }),
          position_(position) {}
    void startUpdatingLocation() override {
        deliverLocations(
            {Location{position_.latitude, position_.longitude, position_.horizontalAccuracy, runLoop().now()}});
    }
    void stopUpdatingLocation() override {}

private:
    FixedPosition position_;
};

class FailingManager final : public RunLoopLocationManager {
public:
    FailingManager(RunLoop& runLoop, std::string reason)
        : RunLoopLocationManager(runLoop, [] { return AuthorizationStatus::authorizedWhenInUse; }),
          reason_(std::move(reason)) {}
    void startUpdatingLocation() override { deliverFailure({LocationError::invalidSource, reason_}); }
    void stopUpdatingLocation() override {}

private:
    std::string reason_;
};

class UnavailableManager final : public RunLoopLocationManager {
public:
    explicit UnavailableManager(RunLoop& runLoop)
        : RunLoopLocationManager(runLoop, [] { return AuthorizationStatus::restricted; }) {}
    void startUpdatingLocation() override {
        deliverFailure({LocationError::invalidSource, "no location service on this system"});
    }
    void stopUpdatingLocation() override {}
};

}  // namespace

std::optional<FixedPosition> parseFixedPosition(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t begin = 0;
    for (;;) {
        const std::size_t comma = text.find(',', begin);
        parts.push_back(text.substr(begin, comma == std::string_view::npos ? std::string_view::npos : comma - begin));
        if (comma == std::string_view::npos) {
            break;
        }
        begin = comma + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) {
        return std::nullopt;
    }
    const auto latitude = parseNumber(parts[0]);
    const auto longitude = parseNumber(parts[1]);
    if (!latitude || !longitude || std::fabs(*latitude) > 90.0 || std::fabs(*longitude) > 180.0) {
        return std::nullopt;
    }
    FixedPosition position{*latitude, *longitude, 50.0};
    if (parts.size() == 3) {
        const auto accuracy = parseNumber(parts[2]);
        if (!accuracy || *accuracy < 0) {
            return std::nullopt;
        }
        position.horizontalAccuracy = *accuracy;
    }
    return position;
}

FixedLocationService::FixedLocationService(RunLoop& runLoop, FixedPosition position)
    : runLoop_(runLoop), position_(position) {}

std::unique_ptr<LocationManager> FixedLocationService::makeManager() {
    return std::make_unique<FixedManager>(runLoop_, position_);
}

FailingLocationService::FailingLocationService(RunLoop& runLoop, std::string reason)
    : runLoop_(runLoop), reason_(std::move(reason)) {}

std::unique_ptr<LocationManager> FailingLocationService::makeManager() {
    return std::make_unique<FailingManager>(runLoop_, reason_);
}

std::unique_ptr<LocationManager> UnavailableLocationService::makeManager() {
    return std::make_unique<UnavailableManager>(runLoop_);
}

}  // namespace velmo
