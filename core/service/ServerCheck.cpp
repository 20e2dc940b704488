#include "core/service/ServerCheck.h"

#include "core/json/JSON.h"
#include "core/service/ServerConfig.h"

#include <span>

namespace velmo {

namespace {

constexpr double kCheckTimeout = 10.0;
// A health report lists every city with its live sources: far below this.
constexpr std::size_t kMaximumReportBytes = std::size_t{1} << 20;

std::string transportReason(const UrlError& error) {
    switch (error.code) {
        case UrlError::timedOut: return "Hálózati hiba: a kiszolgáló nem válaszolt időben";
        case UrlError::cannotFindHost: return "Hálózati hiba: ismeretlen gépnév";
        case UrlError::cannotConnectToHost: return "Hálózati hiba: a kapcsolatot elutasították";
        case UrlError::secureConnectionFailed:
        case UrlError::serverCertificateUntrusted: return "Hálózati hiba: a kiszolgáló tanúsítványa nem megbízható";
        default: return "Hálózati hiba";
    }
}

}  // namespace

ServerCheckResult judgeHealthReply(const std::optional<Bytes>& body, const std::optional<UrlResponse>& response,
                                   const std::optional<UrlError>& transportError) {
    if (transportError || !response) {
        return {transportReason(transportError.value_or(UrlError{})), {}};
    }
    const std::string httpError = "A kiszolgáló hibával válaszolt (HTTP " + std::to_string(response->statusCode) + ")";
    // A tarvod with no city yet answers 503 with its report, which says more than the status.
    if (response->statusCode != 200 && response->statusCode != 503) {
        return {httpError, {}};
    }
    const Bytes bytes = body.value_or(Bytes{});
    const JSON report = JSON::parse(std::span<const std::uint8_t>(bytes), {.allowFragments = true});
    const JSON& cities = report["cities"];
    if (report["error"].boolean() != false || cities.type() != JSON::Type::array) {
        return {response->statusCode == 200 ? "A cím mögött nem velmomac-kiszolgáló válaszolt" : httpError, {}};
    }
    ServerCheckResult result;
    for (const auto& [index, city] : cities) {
        (void)index;
        const std::string name = city["cityName"].stringValue();
        result.cities.push_back(name.empty() ? city["cityKey"].stringValue() : name);
    }
    return result;
}

std::string describeServerCheck(const ServerCheckResult& result) {
    if (result.error) {
        return *result.error;
    }
    if (result.cities.empty()) {
        return "A kiszolgáló elérhető, de egy várost sem szolgál ki.";
    }
    std::string names;
    for (const std::string& city : result.cities) {
        names += (names.empty() ? "" : ", ") + city;
    }
    return "A kiszolgáló elérhető. Városok: " + names;
}

ServerCheck::ServerCheck(UrlSessionFactory& sessions) : sessions_(sessions) {}

ServerCheck::~ServerCheck() = default;

bool ServerCheck::start(const std::string& base, const std::optional<std::string>& extraCertificate, Done done) {
    if (*running_) {
        return false;
    }
    *running_ = true;
    UrlSessionConfiguration configuration;
    configuration.extraTrustedCertificateFile = extraCertificate;
    UrlRequest request;
    request.url = healthUrlForBase(base);
    request.cachePolicy = UrlRequestCachePolicy::reloadIgnoringLocalAndRemoteCacheData;
    request.timeoutInterval = kCheckTimeout;
    request.maximumBodyBytes = kMaximumReportBytes;
    // One request per check: the connection is not kept for another.
    request.headers["Connection"] = "close";
    const std::shared_ptr<DataTask> task =
        sessions_.makeSession(configuration)
            ->dataTask(request, [running = running_, done = std::move(done)](std::optional<Bytes> body,
                                                                             std::optional<UrlResponse> response,
                                                                             std::optional<UrlError> error) {
                *running = false;
                done(judgeHealthReply(body, response, error));
            });
    task->resume();
    return true;
}

}  // namespace velmo
