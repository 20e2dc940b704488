#pragma once
// UpdateChecker: the program's update check. It takes its feed address from "SUFeedURL" in
// the program's standard defaults (the beta option writes it), else the built-in feed, and
// fetches a small JSON feed {"version", "build", "url", "notes"}. Only a feed announcing a
// newer version than the running one is reported; network and feed failures are silent.

#include "platform/http/UrlSession.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmo {

class UserDefaults;

inline constexpr const char* kDefaultUpdateFeed = "https://velmomac.example/appcast.json";

struct UpdateInfo {
    std::string version;
    long long build = 0;
    std::string url;
    std::string notes;
};

class UpdateChecker {
public:
    // The running version ("0.1.0") and build number.
    UpdateChecker(UrlSessionFactory& sessions, std::string currentVersion, long long currentBuild);

    // "SUFeedURL" when a non-empty string is stored there, else the built-in feed.
    static std::string feedUrl(const UserDefaults& defaults);
    // The feed's announcement, or absent when the text is not such a feed.
    static std::optional<UpdateInfo> parseFeed(const std::string& text);
    // True when `version` (dotted numbers) and then `build` are above the current ones.
    bool isNewer(const UpdateInfo& info) const;

    // Fetches `feed`; `onNewer` runs once, on the main thread, only for a newer version.
    void check(const std::string& feed, std::function<void(const UpdateInfo&)> onNewer);

private:
    UrlSessionFactory& sessions_;
    std::string currentVersion_;
    long long currentBuild_;
};

}  // namespace velmo
