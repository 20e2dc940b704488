#pragma once
// Conversion between property-list values and JSON, for tools and for request bodies.

#include "platform/defaults/PlistValue.h"

#include <nlohmann/json.hpp>

#include <optional>

namespace velmo {

// JSON for a value: null, bool, integer, string, array and object map directly; a 32-bit
// float becomes the double with the float's shortest decimal text (300.5F -> 300.5,
// 0.1F -> 0.1); NaN and infinities, which JSON cannot hold, become null.
nlohmann::json plistToJson(const PlistValue& value);

// The value for JSON: integers become int64 (unsigned ones above its range become double),
// other numbers double, arrays lists and objects maps. Never fails.
PlistValue jsonToPlist(const nlohmann::json& json);

// Parses JSON text (a bare scalar is allowed); absent when the text is not valid JSON.
std::optional<PlistValue> parsePlistJson(const std::string& text);

}  // namespace velmo
