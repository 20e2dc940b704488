#pragma once
// "Kapcsolat ellenőrzése": asks a base's health report (GET /healthz beside v2/) through the
// client's URL sessions, under the same certificate rules as queries, and says either which
// cities the server serves or, in Hungarian, why the check failed. One check at a time.

#include "platform/http/UrlSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

struct ServerCheckResult {
    // Absent when the server answered with its health report.
    std::optional<std::string> error;
    // The served cities' names (a city without one by its key), in the report's order.
    std::vector<std::string> cities;
};

// Judges one /healthz exchange.
ServerCheckResult judgeHealthReply(const std::optional<Bytes>& body, const std::optional<UrlResponse>& response,
                                   const std::optional<UrlError>& transportError);

// The line the settings show for a result.
std::string describeServerCheck(const ServerCheckResult& result);

class ServerCheck {
public:
    using Done = std::function<void(ServerCheckResult)>;

    // `sessions` must outlive the check.
    explicit ServerCheck(UrlSessionFactory& sessions);
    ~ServerCheck();
    ServerCheck(const ServerCheck&) = delete;
    ServerCheck& operator=(const ServerCheck&) = delete;

    // Asks `base`'s /healthz, trusting `extraCertificate` on top of the system's when given
    // (the local base's). `done` runs once, later, on the main thread. False, and nothing
    // started, while a check is under way.
    bool start(const std::string& base, const std::optional<std::string>& extraCertificate, Done done);
    bool running() const { return *running_; }

private:
    UrlSessionFactory& sessions_;
    // Shared with the completion, which may outlive this object.
    std::shared_ptr<bool> running_ = std::make_shared<bool>(false);
};

}  // namespace velmo
