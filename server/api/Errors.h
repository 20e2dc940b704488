#pragma once

#include <string>

namespace velmo::api {

// A declared failure: the code the client reads and the HTTP status.
struct ApiError {
    std::string code;
    int status = 200;
};

inline constexpr const char* kBadRequest = "BADREQUEST";
inline constexpr const char* kNewStable = "NEWSTABLE";
inline constexpr const char* kNewTestflight = "NEWTESTFLIGHT";

// The Hungarian sentence sent with a code, empty where the client has its own.
std::string errorText(const std::string& code);

}  // namespace velmo::api
