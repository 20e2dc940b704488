#include "platform/update/UpdateChecker.h"

#include "platform/defaults/UserDefaults.h"

#include <nlohmann/json.hpp>

#include <sstream>
#include <vector>

namespace velmo {

namespace {

// "1.10.2" → {1, 10, 2}; absent when a part is not a number.
std::optional<std::vector<long long>> versionParts(const std::string& version) {
    std::vector<long long> parts;
    std::stringstream stream(version);
    std::string part;
    while (std::getline(stream, part, '.')) {
        if (part.empty() || part.size() > 9 || part.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        parts.push_back(std::stoll(part));
    }
    if (parts.empty())
        return std::nullopt;
    while (parts.size() > 1 && parts.back() == 0)
        parts.pop_back();
    return parts;
}

}  // namespace

UpdateChecker::UpdateChecker(UrlSessionFactory& sessions, std::string currentVersion, long long currentBuild)
    : sessions_(sessions), currentVersion_(std::move(currentVersion)), currentBuild_(currentBuild) {}

std::string UpdateChecker::feedUrl(const UserDefaults& defaults) {
    const auto stored = defaults.stringForKey("SUFeedURL");
    return stored && !stored->empty() ? *stored : std::string(kDefaultUpdateFeed);
}

std::optional<UpdateInfo> UpdateChecker::parseFeed(const std::string& text) {
    const nlohmann::json feed = nlohmann::json::parse(text, nullptr, false);
    if (!feed.is_object() || !feed.contains("version") || !feed["version"].is_string())
        return std::nullopt;
    UpdateInfo info;
    info.version = feed["version"].get<std::string>();
    if (!versionParts(info.version))
        return std::nullopt;
    if (feed.contains("build")) {
        if (feed["build"].is_number_integer())
            info.build = feed["build"].get<long long>();
        else if (feed["build"].is_string())
            info.build = std::atoll(feed["build"].get<std::string>().c_str());
    }
    if (feed.contains("url") && feed["url"].is_string())
        info.url = feed["url"].get<std::string>();
    // Only a web address may become a link in the window.
    if (info.url.rfind("https://", 0) != 0 && info.url.rfind("http://", 0) != 0)
        info.url.clear();
    if (feed.contains("notes") && feed["notes"].is_string())
        info.notes = feed["notes"].get<std::string>();
    return info;
}

bool UpdateChecker::isNewer(const UpdateInfo& info) const {
    const auto offered = versionParts(info.version);
    const auto running = versionParts(currentVersion_);
    if (!offered || !running)
        return false;
    if (*offered != *running)
        return *offered > *running;
    return info.build > currentBuild_;
}

void UpdateChecker::check(const std::string& feed, std::function<void(const UpdateInfo&)> onNewer) {
    UrlRequest request;
    request.url = feed;
    request.timeoutInterval = 20.0;
    request.cachePolicy = UrlRequestCachePolicy::reloadIgnoringLocalCacheData;
    auto session = sessions_.makeSession({});
    // The answer may come after this checker is gone: it keeps a copy of what it needs.
    auto task = session->dataTask(
        request, [current = *this, onNewer = std::move(onNewer)](
                     std::optional<Bytes> body, std::optional<UrlResponse> response, std::optional<UrlError> error) {
            if (error || !body || !response || response->statusCode != 200)
                return;
            const auto info = parseFeed(std::string(body->begin(), body->end()));
            if (info && current.isNewer(*info))
                onNewer(*info);
        });
    task->resume();
}

}  // namespace velmo
