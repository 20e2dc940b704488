#pragma once
// URL loading as the core sees it: a session carrying additional headers, requests with a
// cache policy, a deadline and a size limit, and data tasks whose completion receives the
// optional body, the optional response and the optional transport error. Redirects are never
// followed: a 3xx arrives as the response it is. Plain C++; QtUrlSession.h is the backend and
// FakeHttp.h a scripted stand-in for tests.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// Raw values match the platform's cache policies.
enum class UrlRequestCachePolicy : int {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    reloadIgnoringLocalAndRemoteCacheData = 4,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
    reloadRevalidatingCacheData = 5,
};

using Bytes = std::vector<std::uint8_t>;
using HeaderMap = std::map<std::string, std::string>;

// No reply this client asks for comes near it; anything larger is a fault or an attack.
inline constexpr std::size_t kDefaultMaximumBodyBytes = std::size_t{8} << 20;

struct UrlRequest {
    std::string url;
    UrlRequestCachePolicy cachePolicy = UrlRequestCachePolicy::useProtocolCachePolicy;
    // Seconds the whole exchange may take, from resume() to the last byte of the reply;
    // 0 or less: no deadline. A server that keeps sending slowly is stopped all the same.
    double timeoutInterval = 60.0;
    // The longest reply body accepted; a longer one (announced or received) is abandoned
    // while it arrives and ends as dataLengthExceedsMaximum.
    std::size_t maximumBodyBytes = kDefaultMaximumBodyBytes;
    std::string httpMethod = "GET";
    Bytes httpBody;
    HeaderMap headers;  // on top of the session's additional headers
};

struct UrlResponse {
    int statusCode = 0;
    HeaderMap headers;
    std::string url;
};

// A transport failure: no usable HTTP response arrived.
struct UrlError {
    enum Code : int {
        unknown = -1,
        cancelled = -999,
        badURL = -1000,
        timedOut = -1001,
        cannotFindHost = -1003,
        cannotConnectToHost = -1004,
        networkConnectionLost = -1005,
        dataLengthExceedsMaximum = -1103,
        secureConnectionFailed = -1200,
        serverCertificateUntrusted = -1202,
    };
    int code = unknown;
    std::string message;
};

// Either an error, or a response with its body (an empty body is present and empty).
using DataTaskCompletion =
    std::function<void(std::optional<Bytes> body, std::optional<UrlResponse> response, std::optional<UrlError> error)>;

class DataTask {
public:
    virtual ~DataTask() = default;
    // Starts the exchange. The completion runs once, later, on the main thread — never inside
    // this call. A started task keeps itself (and its session) alive until then.
    virtual void resume() = 0;
};

struct UrlSessionConfiguration {
    HeaderMap additionalHeaders;
    // One more trusted certificate (PEM) on top of the system's; for the local development
    // server only. Certificate checks are never switched off.
    std::optional<std::string> extraTrustedCertificateFile;
};

class UrlSession {
public:
    virtual ~UrlSession() = default;
    virtual std::shared_ptr<DataTask> dataTask(const UrlRequest& request, DataTaskCompletion completion) = 0;
};

// Creates sessions; each session has its own connections and TLS state.
class UrlSessionFactory {
public:
    virtual ~UrlSessionFactory() = default;
    virtual std::shared_ptr<UrlSession> makeSession(const UrlSessionConfiguration& configuration) = 0;
};

}  // namespace velmo
