#pragma once
// The departures client of the programs: TarvoRequest over the location source chosen by
// the command line and the shared settings, and Qt Network sessions.

#include "core/display/DeparturesClient.h"

#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

namespace velmo {

class LocationService;
class TarvoRequest;
class UrlSessionFactory;

class TarvoDeparturesClient : public DeparturesClient {
public:
    // `arguments` may carry --position; the location choice is named on `err` when it fails.
    TarvoDeparturesClient(const std::vector<std::string>& arguments, std::ostream& err);
    ~TarvoDeparturesClient() override;

    void getWithLocation(bool skip_nearby, Callback callback) override;
    void cancel() override;
    std::optional<PlistMap> toDictionary(const JSON& departure) const override;
    std::string toErrorString(std::string_view code) const override;

private:
    std::unique_ptr<LocationService> location_;
    std::unique_ptr<UrlSessionFactory> sessions_;
    std::unique_ptr<TarvoRequest> request_;
};

}  // namespace velmo
