#include "core/display/TarvoDeparturesClient.h"

#include "core/service/TarvoRequest.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/QtUrlSession.h"
#include "platform/location/LocationSource.h"
#include "platform/runloop/RunLoop.h"

#include <iostream>

namespace velmo {

TarvoDeparturesClient::TarvoDeparturesClient(const std::vector<std::string>& arguments, std::ostream& err) {
    const UserDefaults shared(AppSettings::kAppGroup);
    location_ = chooseLocationService(RunLoop::main(), Bundle::main(), shared, arguments, err).service;
    sessions_ = std::make_unique<QtUrlSessionFactory>();
    request_ = std::make_unique<TarvoRequest>(*location_, *sessions_, std::cout);
}

TarvoDeparturesClient::~TarvoDeparturesClient() = default;

void TarvoDeparturesClient::getWithLocation(bool skip_nearby, Callback callback) {
    request_->getWithLocation(skip_nearby, std::move(callback));
}

void TarvoDeparturesClient::cancel() { request_->cancel(); }

std::optional<PlistMap> TarvoDeparturesClient::toDictionary(const JSON& departure) const {
    return TarvoRequest::toDictionary(departure);
}

std::string TarvoDeparturesClient::toErrorString(std::string_view code) const {
    return TarvoRequest::toErrorString(code);
}

}  // namespace velmo
