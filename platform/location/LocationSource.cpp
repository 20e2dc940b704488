#include "platform/location/LocationSource.h"

#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/QtLocationService.h"

#include <ostream>

namespace velmo {

namespace {

LocationServiceChoice fixedOrInvalid(RunLoop& runLoop, const std::string& text, const std::string& origin,
                                     std::ostream& err) {
    if (auto position = parseFixedPosition(text)) {
        return {std::make_unique<FixedLocationService>(runLoop, *position), "fixed"};
    }
    err << "velmo: " << origin << " \"" << text << "\" is not a position LAT,LON[,ACCURACY]" << std::endl;
    return {std::make_unique<FailingLocationService>(runLoop, "invalid position " + text), "invalid"};
}

}  // namespace

LocationServiceChoice chooseLocationService(RunLoop& runLoop, const Bundle& bundle, const UserDefaults& sharedSuite,
                                            const std::optional<std::string>& position, std::ostream& err,
                                            const std::function<std::unique_ptr<LocationService>()>& systemService) {
    if (position) {
        return fixedOrInvalid(runLoop, *position, "--position", err);
    }
    const std::string source = sharedSuite.stringForKey(kLocationSourceKey).value_or("system");
    const std::optional<std::string> fixed = sharedSuite.stringForKey(kLocationFixedKey);

    if (source == "system") {
        auto system = systemService ? systemService() : makeSystemLocationService(runLoop, bundle);
        if (system) {
            return {std::move(system), "system"};
        }
        if (fixed) {
            return fixedOrInvalid(runLoop, *fixed, "setting locationFixed", err);
        }
        return {std::make_unique<UnavailableLocationService>(runLoop), "unavailable"};
    }
    if (source == "fixed") {
        return fixedOrInvalid(runLoop, fixed.value_or(""), "setting locationFixed", err);
    }
    if (source.rfind("nmea:", 0) == 0) {
        const std::string path = source.substr(5);
        auto service = makeNmeaLocationService(runLoop, path, err);
        const bool failing = dynamic_cast<FailingLocationService*>(service.get()) != nullptr;
        return {std::move(service), failing ? "invalid" : source};
    }
    err << "velmo: unknown locationSource \"" << source << "\" (expected system, fixed or nmea:PATH)" << std::endl;
    return {std::make_unique<FailingLocationService>(runLoop, "unknown location source " + source), "invalid"};
}

}  // namespace velmo
