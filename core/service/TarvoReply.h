#pragma once
// Reading the departures service's replies, apart from sending: the envelope every reply
// carries, and the departure items of the departures reply. No I/O beyond the log stream.

#include "core/json/JSON.h"
#include "platform/defaults/PlistValue.h"
#include "platform/http/UrlSession.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// The outcome of the envelope check: the parsed reply on success; otherwise no reply and the
// error code, which is absent when the server declared an error without naming one.
struct Envelope {
    std::optional<JSON> reply;
    std::optional<std::string> code;

    bool succeeded() const { return reply.has_value(); }
};

inline constexpr const char* kDownloadError = "DOWNLOADERROR";
// The chosen base is not set: nothing was sent.
inline constexpr const char* kNoServer = "NOSERVER";

// Judges a reply by its body; of the HTTP status only a redirect counts. A transport error, a
// redirect (3xx: never followed, so its body is not the service's answer), no body, a body
// that is not JSON or lacks a boolean "error" give "DOWNLOADERROR". "error" true gives
// "errorMessage", joined by "::" with "errorMessageText" when that is a string ("::TEXT"
// when only the text is there).
Envelope judgeEnvelope(const std::optional<Bytes>& body, const std::optional<UrlResponse>& response,
                       const std::optional<UrlError>& transportError);

// One departure item as an item map, with the server member that made it invalid.
struct DepartureConversion {
    std::optional<PlistMap> item;
    // The first member that was missing or of the wrong kind (when `item` is absent).
    std::string badMember;
    // Positions (as iterated) of "warningText" elements left out because not strings.
    std::vector<std::string> skippedWarnings;
};

DepartureConversion convertDeparture(const JSON& departure);

// The message shown for an error code.
std::string errorMessageForCode(std::string_view code);

// The Hungarian name of a vehicle type code ("TRAM" → "villamos"); absent for "UNKNOWN",
// "BLANK" and codes the client does not know, so each display chooses its own fallback.
std::optional<std::string> vehicleTypeName(std::string_view type);

}  // namespace velmo
