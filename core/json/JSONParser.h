#pragma once
// The strict JSON reader behind JSON::parse (RFC 8259 text, UTF-8 only).
//
// It accepts exactly what nlohmann::json::parse accepts (a leading UTF-8 byte order mark
// included) and builds the same tree, but reads the bytes several times faster: the
// departures reply is parsed on every query. Non-negative integers become unsigned,
// negative ones signed, integers beyond 64 bits and numbers with a fraction or exponent
// become doubles; a later duplicate key replaces an earlier one.

#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velmo {

// The document's root, or nothing for bad bytes, a number too large for a double, or
// arrays and objects nested deeper than maxNesting.
std::optional<nlohmann::json> parseJSONDocument(std::string_view bytes, int maxNesting);

} // namespace velmo
