#include "platform/text/SafeText.h"

#include <gtest/gtest.h>

namespace velmo {
namespace {

struct Case {
    const char* input;
    const char* escaped;
    const char* stripped;
};

// Forged log lines, terminal escapes (7-bit and 8-bit CSI) and broken UTF-8 against ordinary
// Hungarian text, which must pass through both untouched.
const Case kCases[] = {
    {"Széll Kálmán tér", "Széll Kálmán tér", "Széll Kálmán tér"},
    {"/v2/nearby/\r\nINFO forged", "/v2/nearby/\\r\\nINFO forged", "/v2/nearby/INFO forged"},
    {"\x1b[2Jclear", "\\x1B[2Jclear", "[2Jclear"},
    {"a\tb\x7f", "a\\tb\\x7F", "ab"},
    {"c\xc2\x9b"
     "31m",
     "c\\u{9B}31m", "c31m"},
    {"bad\xff\xc3", "bad\\xFF\\xC3", "bad\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"\xed\xa0\x80", "\\xED\\xA0\\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
    {"back\\x1B", "back\\\\x1B", "back\\x1B"},
};

TEST(SafeTextTest, EscapesForLogsAndStripsForTerminals) {
    for (const auto& c : kCases) {
        EXPECT_EQ(escapeControls(c.input), c.escaped) << c.input;
        EXPECT_EQ(stripControls(c.input), c.stripped) << c.input;
    }
}

}  // namespace
}  // namespace velmo
