#include "core/service/TarvoRequest.h"

#include "core/location/EasyLocation.h"
#include "core/settings/AppSettings.h"
#include "platform/bundle/Bundle.h"
#include "platform/runloop/RunLoop.h"
#include "platform/text/SafeText.h"

#include <iostream>
#include <sys/utsname.h>

namespace velmo {

const std::string kTarvoEvent = "TarvoEvent";

namespace {

constexpr double kRequestTimeout = 25.0;      // seconds
constexpr double kLocationTimeout = 30.0;     // seconds
constexpr double kAccuracyThreshold = 100.0;  // metres
constexpr double kFailbackAccuracy = 500.0;   // metres
constexpr float kDefaultRadius = 300.0F;      // metres, for a radius below 1
constexpr int kStopsLimit = 20;               // matches asked for by name

std::string endpointUrl(const std::string& base, std::string_view format) {
    // The endpoint formats are "%@nearby/", "%@more/", "%@vehicle/": the base, then the path.
    std::string url(format);
    if (const auto at = url.find("%@"); at != std::string::npos) {
        url.replace(at, 2, base);
    }
    return url;
}

// Metres as the server counts them: truncated toward zero (NaN 0, clamped to int64).
std::int64_t wholeMetres(float metres) { return JSONNumber(metres).toInt64(); }

}  // namespace

TarvoRequest::TarvoRequest(std::unique_ptr<EasyLocation> manager, std::unique_ptr<AppSettings> settings,
                           UrlSessionFactory& sessions, RunLoop& runLoop, const Bundle& bundle, ServerBases servers)
    : currentValidType{"BUS", "FERRY", "NIGHTBUS", "RAIL", "SUBWAY", "TRAM", "TROLLEYBUS", "UNKNOWN", "BLANK"},
      manager_(std::move(manager)),
      settings_(std::move(settings)),
      sessions_(sessions),
      runLoop_(runLoop),
      bundle_(bundle),
      servers_(std::move(servers)) {}

TarvoRequest::~TarvoRequest() = default;

std::string TarvoRequest::baseServerUrl() const {
    const std::optional<PlistValue> choice = settings_->get("useDevelopmentServer");
    return chosenServerBase(servers_, choice ? std::optional(choice->toInteger()) : std::nullopt);
}

void TarvoRequest::setServerBases(ServerBases servers) { servers_ = std::move(servers); }

HeaderMap TarvoRequest::getExtendedHeaders() const {
    HeaderMap headers;
    utsname system{};
    if (uname(&system) == 0) {
        headers["X-DEVICE"] = std::string(system.machine);
    } else {
        headers["X-DEVICE"] = std::string();
    }
    // A correctly packaged program always has these keys and a stored identifier; should
    // one be missing the header is sent empty rather than left out.
    headers["X-APP"] = bundle_.info(kBundleExecutableKey).value_or(std::string());
    headers["X-APPVERSION"] = bundle_.info(kBundleShortVersionKey).value_or(std::string());
    headers["X-APPBUILD"] = bundle_.info(kBundleVersionKey).value_or(std::string());
    const std::optional<PlistValue> uuid = settings_->get("deviceUUID");
    headers["X-UUID"] = uuid ? uuid->toString().value_or(std::string()) : std::string();
    headers["X-APILEVEL"] = "2";
    headers["X-DEVICEOS"] = "MAC";
    headers["X-DEVICEVERSION"] = "10.0";
    return headers;
}

bool TarvoRequest::send(std::string_view format, const JSON& body, Completion completion) {
    JSON::RawData bytes = body.rawData();
    if (!bytes) {
        return false;
    }
    const std::string base = baseServerUrl();
    if (base.empty()) {
        // No server set: said at once (through the run loop, never inside this call).
        runLoop_.post([completion = std::move(completion)] { completion(Envelope{std::nullopt, kNoServer}); });
        return true;
    }
    UrlSessionConfiguration configuration;
    configuration.additionalHeaders = getExtendedHeaders();
    if (base == servers_.local && settings_->get("useDevelopmentServer").value_or(PlistValue()).toInteger() == 1) {
        // Only the local development server may present the certificate tarvod made.
        configuration.extraTrustedCertificateFile = servers_.localCertificate;
    }
    const std::shared_ptr<UrlSession> session = sessions_.makeSession(configuration);

    UrlRequest request;
    request.url = endpointUrl(base, format);
    request.cachePolicy = UrlRequestCachePolicy::reloadIgnoringLocalAndRemoteCacheData;
    request.timeoutInterval = kRequestTimeout;
    request.httpMethod = "POST";
    request.httpBody.assign(bytes.data->begin(), bytes.data->end());

    // The started task keeps itself and its session alive until its completion has run.
    const std::shared_ptr<DataTask> task = session->dataTask(
        request, [completion = std::move(completion)](
                     std::optional<Bytes> replyBody, std::optional<UrlResponse> response,
                     std::optional<UrlError> error) { completion(judgeEnvelope(replyBody, response, error)); });
    task->resume();
    return true;
}

void TarvoRequest::getWithLocation(bool skip_nearby, Callback callback) {
    if (baseServerUrl().empty()) {
        // Nowhere to ask: no position is sought either.
        runLoop_.post([callback = std::move(callback)] {
            callback(kNoServer, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
        });
        return;
    }
    float radius = settings_->get("settingRadius").value_or(PlistValue()).toFloat();
    float favouriteRadius = settings_->get("settingFavStopRadius").value_or(PlistValue()).toFloat();
    // NaN counts as unusable too.
    if (!(radius >= 1.0F)) {
        radius = kDefaultRadius;
    }
    if (!(favouriteRadius >= 1.0F)) {
        favouriteRadius = radius;
    }

    manager_->allowFailbackToLastLocation = true;
    manager_->failbackLocationAccuracy = kFailbackAccuracy;
    sendBroadcast("LOCATION");
    manager_->getLocation(kLocationAccuracyHundredMeters, kAccuracyThreshold, kLocationTimeout,
                          [this, radius, favouriteRadius, skip_nearby, callback = std::move(callback)](
                              std::optional<Location> location, std::optional<EasyLocationError> error) {
                              if (location) {
                                  const auto lat = static_cast<float>(location->latitude);
                                  const auto lon = static_cast<float>(location->longitude);
                                  sendBroadcast("SERVER");
                                  get(lat, lon, radius, favouriteRadius, skip_nearby, callback);
                              } else if (error) {
                                  const char* code = error->code == EasyLocationError::restricted ? "NOLOCATIONDISABLED"
                                                     : error->code == EasyLocationError::denied   ? "NOLOCATIONACCESS"
                                                                                                  : "NOLOCATION";
                                  callback(code, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                                           std::nullopt);
                              }
                          });
}

std::vector<std::string> TarvoRequest::favouriteIds(const std::string& key) const {
    std::vector<std::string> ids;
    const std::optional<PlistValue> stored = settings_->get(key);
    if (!stored || !stored->ifList()) {
        return ids;
    }
    // An entry without a string "raw" cannot be sent; it is left out, the others kept.
    for (const PlistValue& entry : *stored->ifList()) {
        const PlistMap* map = entry.ifMap();
        if (map == nullptr) {
            continue;
        }
        if (const auto raw = map->find("raw"); raw != map->end() && raw->second.ifString()) {
            ids.push_back(*raw->second.ifString());
        }
    }
    return ids;
}

void TarvoRequest::get(float lat, float lon, float rad, float radFav, bool skip_nearby, Callback callback) {
    (void)skip_nearby;  // accepted; the request is the same either way
    const auto strings = [](const std::vector<std::string>& ids) {
        JSON::Array array;
        array.reserve(ids.size());
        for (const std::string& id : ids) {
            array.emplace_back(id);
        }
        return JSON(array);
    };
    const float fetchRadius = radFav > rad ? radFav : rad;
    const JSON body{
        {"method", "TRIPSFORLOCATION"},
        {"lat", lat},
        {"lon", lon},
        {"fetchRadius", wholeMetres(fetchRadius)},
        {"realRadius", wholeMetres(rad)},
        {"favRoutes", strings(favouriteIds("settingFavTripList"))},
        {"favStops", strings(favouriteIds("settingFavStopList"))},
        {"favSortMode", settings_->get("settingFavTrip").value_or(PlistValue()).toInteger()},
        {"minutes", settings_->get("settingMinutes").value_or(PlistValue()).toInteger()},
    };

    // One owner of the callback, whichever way the query ends.
    auto shared = std::make_shared<Callback>(std::move(callback));
    const bool sent = send("%@nearby/", body, [shared](Envelope envelope) {
        const Callback call = std::move(*shared);
        if (!envelope.succeeded()) {
            call(std::move(envelope.code), std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt);
            return;
        }
        const JSON& reply = *envelope.reply;
        call(std::nullopt, reply["stopDates"], reply["stopDatesNearby"], reply["cityName"].string(),
             reply["cityURL"].string(), reply["cityKey"].string(), std::nullopt);
    });
    if (!sent) {
        runLoop_.post([shared] {
            const Callback call = std::move(*shared);
            call(kDownloadError, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
        });
    }
}

void TarvoRequest::details(std::string_view format, const std::string& city, const std::string& tripId,
                           const std::string& stopId, const std::string& routeId, DetailsCallback callback) {
    const JSON body{{"city", city}, {"tripIdB64", tripId}, {"stopIdB64", stopId}, {"routeIdB64", routeId}};
    auto shared = std::make_shared<DetailsCallback>(std::move(callback));
    const bool sent = send(format, body, [shared](Envelope envelope) {
        const DetailsCallback call = std::move(*shared);
        call(std::move(envelope.code), std::move(envelope.reply));
    });
    if (!sent) {
        const DetailsCallback call = std::move(*shared);
        call(kDownloadError, std::nullopt);
    }
}

void TarvoRequest::getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                               const std::string& routeId, DetailsCallback callback) {
    details("%@more/", city, tripId, stopId, routeId, std::move(callback));
}

void TarvoRequest::getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                                  const std::string& routeId, DetailsCallback callback) {
    details("%@vehicle/", city, tripId, stopId, routeId, std::move(callback));
}

void TarvoRequest::getStops(const std::string& text, DetailsCallback callback) {
    const JSON body{{"text", text}, {"limit", kStopsLimit}};
    auto shared = std::make_shared<DetailsCallback>(std::move(callback));
    const bool sent = send("%@stops/", body, [shared](Envelope envelope) {
        const DetailsCallback call = std::move(*shared);
        call(std::move(envelope.code), std::move(envelope.reply));
    });
    if (!sent) {
        const DetailsCallback call = std::move(*shared);
        call(kDownloadError, std::nullopt);
    }
}

void TarvoRequest::cancel() { manager_->cancelLocation(); }

void TarvoRequest::sendBroadcast(const std::string& message) {
    (void)message;  // nothing listens for the stages
}

std::optional<PlistMap> TarvoRequest::toDictionary(const JSON& json) { return convertDeparture(json).item; }

PlistList TarvoRequest::toDictionaries(const JSON& list, std::ostream& log) {
    PlistList items;
    for (const auto& [position, departure] : list) {
        DepartureConversion converted = convertDeparture(departure);
        if (!converted.item) {
            // A member name of the server's may stand for the position: escaped, one line.
            log << "velmo: indulás [" << escapeControls(position) << "] kimarad: \"" << converted.badMember
                << "\" hiányzik vagy rossz típusú" << std::endl;
            continue;
        }
        for (const std::string& warning : converted.skippedWarnings) {
            log << "velmo: indulás [" << escapeControls(position) << "]: a warningText [" << escapeControls(warning)
                << "] eleme nem szöveg; kimarad" << std::endl;
        }
        items.emplace_back(std::move(*converted.item));
    }
    return items;
}

PlistList TarvoRequest::toDictionaries(const JSON& list) { return toDictionaries(list, std::cerr); }

std::string TarvoRequest::toErrorString(std::string_view code) { return errorMessageForCode(code); }

}  // namespace velmo
