#pragma once
// The location service of a running program: the service chooseLocationService picks, picked
// again when "locationSource" or "locationFixed" changed since, so that a position stored
// while the program runs (in the settings, or where a failed query offers it) is used by the
// very next query. Managers made by it follow the change at their next start of updates.

#include "platform/location/LocationSource.h"

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

class SettingsLocationService final : public LocationService {
public:
    // As chooseLocationService; the suite is opened by `suiteName` at each refresh. `runLoop`,
    // `bundle` and `err` must outlive the service.
    SettingsLocationService(RunLoop& runLoop, const Bundle& bundle, std::string suiteName,
                            std::optional<std::string> position, std::ostream& err,
                            std::function<std::unique_ptr<LocationService>()> systemService = {});
    ~SettingsLocationService() override;

    // Reads the two settings again and chooses anew when they changed. Call it before a
    // request, not while one is waiting for its fix.
    void refresh();
    const std::string& description() const { return choice_.description; }

    std::unique_ptr<LocationManager> makeManager() override;
    AuthorizationStatus authorizationStatus() const override { return choice_.service->authorizationStatus(); }
    bool locationServicesEnabled() const override { return choice_.service->locationServicesEnabled(); }

    // Counts the choices made; a manager compares it with the one it was made under.
    int generation() const { return generation_; }
    LocationService& current() { return *choice_.service; }

private:
    std::pair<std::optional<std::string>, std::optional<std::string>> readSettings() const;

    RunLoop& runLoop_;
    const Bundle& bundle_;
    std::string suiteName_;
    std::optional<std::string> position_;
    std::ostream& err_;
    std::function<std::unique_ptr<LocationService>()> systemService_;
    std::pair<std::optional<std::string>, std::optional<std::string>> settings_;
    LocationServiceChoice choice_;
    // Earlier choices: a manager made under one may use it until its next start.
    std::vector<std::unique_ptr<LocationService>> retired_;
    int generation_ = 0;
};

}  // namespace velmo
