#pragma once
// The JSON reader behind JSON::parse: nlohmann::json's strict parser (RFC 8259, UTF-8,
// a leading byte order mark allowed) behind a nesting limit. Non-negative integers become
// unsigned, negative ones signed, numbers with a fraction or exponent (or beyond 64 bits)
// become doubles; a later duplicate key replaces an earlier one.

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velmo {

// The document's root, or nothing for bad bytes, a number too large for a double, or
// arrays and objects nested deeper than maxNesting.
std::optional<nlohmann::json> parseJSONDocument(std::string_view bytes, int maxNesting);

}  // namespace velmo
