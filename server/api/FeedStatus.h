#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace velmo::api {

// One static feed of a city as /healthz and /metrics show it.
struct FeedStatus {
    std::string city;
    std::string feed;    // its key
    std::string source;  // the path, or the URL without user info, query and fragment
    // Since the data in use was downloaded or its file last changed; none when there is no file.
    std::optional<std::int64_t> ageSeconds;
    std::string lastError;  // of the last download or load; empty once one succeeds again
};

}  // namespace velmo::api
