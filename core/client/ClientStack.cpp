#include "core/client/ClientStack.h"

#include "core/display/DeparturesClient.h"
#include "core/location/EasyLocation.h"
#include "core/service/ServerConfig.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/QtUrlSession.h"
#include "platform/location/SettingsLocationService.h"
#include "platform/runloop/QtRunLoop.h"

#include <sstream>

namespace velmo {

namespace {

// TarvoRequest as the display controllers see it.
class TarvoDeparturesClient final : public DeparturesClient {
public:
    TarvoDeparturesClient(TarvoRequest& request, SettingsLocationService& location)
        : request_(request), location_(location) {}

    void getWithLocation(bool skip_nearby, Callback callback) override {
        // servers.conf read again: a server set in the settings counts from the next query.
        // Its bad lines were named at start-up.
        std::ostringstream quiet;
        request_.setServerBases(loadServerBases(quiet));
        // A position stored since the last query is used by this one.
        location_.refresh();
        request_.getWithLocation(skip_nearby, std::move(callback));
    }
    void searchStops(const std::string& text, StopsCallback callback) override {
        request_.getStops(text, [callback = std::move(callback)](auto error, std::optional<JSON> reply) {
            callback(std::move(error), reply ? stopChoicesFromReply(*reply) : std::vector<StopChoice>{});
        });
    }
    void cancel() override { request_.cancel(); }
    std::optional<PlistMap> toDictionary(const JSON& departure) const override {
        return TarvoRequest::toDictionary(departure);
    }
    std::string toErrorString(std::string_view code) const override { return TarvoRequest::toErrorString(code); }
    void getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                     const std::string& routeId, DetailsCallback callback) override {
        request_.getMoreInfo(city, tripId, stopId, routeId, std::move(callback));
    }
    void getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                        const std::string& routeId, DetailsCallback callback) override {
        request_.getVehicleInfo(city, tripId, stopId, routeId, std::move(callback));
    }

private:
    TarvoRequest& request_;
    SettingsLocationService& location_;
};

}  // namespace

ClientStack::ClientStack(const ClientOptions& options, std::ostream& locationLog, std::ostream& err)
    : loop_(std::make_unique<QtRunLoop>()), sessions_(std::make_unique<QtUrlSessionFactory>()) {
    const Bundle& bundle = Bundle::main();
    location_ =
        std::make_unique<SettingsLocationService>(*loop_, bundle, AppSettings::kAppGroup, options.position, err);
    // The settings store runs its start-up check here, once per program.
    request_ = std::make_unique<TarvoRequest>(std::make_unique<EasyLocation>(*location_, *loop_, bundle, locationLog),
                                              std::make_unique<AppSettings>(), *sessions_, *loop_, bundle,
                                              loadServerBases(err));
}

ClientStack::~ClientStack() = default;

RunLoop& ClientStack::runLoop() { return *loop_; }

const Bundle& ClientStack::bundle() const { return Bundle::main(); }

UrlSessionFactory& ClientStack::sessions() { return *sessions_; }

UserDefaults& ClientStack::standardDefaults() { return UserDefaults::standard(); }

TarvoRequest& ClientStack::request() { return *request_; }

std::unique_ptr<DeparturesClient> ClientStack::departuresClient() {
    return std::make_unique<TarvoDeparturesClient>(*request_, *location_);
}

}  // namespace velmo
