#pragma once
// The stored form of a property-list value: tagged JSON text that keeps the exact kind
// (bool, int, float, double, string, list, map) and reads well in the sqlite3 shell, e.g.
//   {"int":5}  {"float":1.5}  {"list":[{"string":"a"},{"double":2.0}]}
// Doubles are written with 17 significant digits and floats by their exact double value, so
// every value reads back bit for bit. Values JSON cannot hold keep their kind too:
// {"double":"nan"}, {"float":"-inf"}, and text that is not UTF-8 as {"bytes":"<hex>"}.

#include "platform/defaults/PlistValue.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmo {

std::string encodeStoredValue(const PlistValue& value);

// The value, or absent when the text is not a stored value of this format.
std::optional<PlistValue> decodeStoredValue(std::string_view text);

}  // namespace velmo
