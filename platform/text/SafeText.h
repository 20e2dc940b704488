#pragma once
// Text from outside (request paths, feed names, server replies) made safe to write where a
// control character would do harm: a log line that must stay one line, a terminal that would
// obey escape sequences. Plain C++ with no dependencies.

#include <string>
#include <string_view>

namespace velmo {

// For logs: every control character (C0, DEL, C1) and every byte that is not part of valid
// UTF-8 becomes a visible escape (\n, \r, \t, \xNN, \u{NN}); a backslash becomes \\, so an
// escaped text cannot pass for another. Printable UTF-8 stays as it is.
std::string escapeControls(std::string_view text);

// For a terminal: control characters (C0, DEL, C1) are dropped and bytes that are not valid
// UTF-8 become U+FFFD; everything else stays as it is.
std::string stripControls(std::string_view text);

}  // namespace velmo
