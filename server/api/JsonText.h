#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo::api::json_text {

// Small writers that append JSON values to a string, with exactly the bytes
// that nlohmann::json::dump(-1, ' ', false, error_handler_t::replace) gives.

// A JSON string: '"' and '\' escaped, control characters below 0x20 as
// \b \t \n \f \r or \u00xx, UTF-8 kept as it is; text that is not valid
// UTF-8 gets U+FFFD in place of the broken bytes.
void appendString(std::string& out, std::string_view text);

// The most bytes a string of `size` bytes can take written as JSON.
constexpr std::size_t maxStringBytes(std::size_t size) { return 6 * size + 2; }

// appendString into a buffer with room for maxStringBytes(text.size()); returns the end.
char* writeString(char* out, std::string_view text);

// A number of JSON kind float: the shortest text that reads back as the same
// double, always with a '.' or an exponent ("47.0", "1e-05"); null when not finite.
void appendDouble(std::string& out, double value);

void appendInt(std::string& out, std::int64_t value);

// The most bytes an integer takes.
constexpr std::size_t kMaxIntBytes = 20;

// appendInt into a buffer with room for kMaxIntBytes; returns the end.
char* writeInt(char* out, std::int64_t value);

}  // namespace velmo::api::json_text
