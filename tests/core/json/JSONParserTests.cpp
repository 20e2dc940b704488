// The reader behind JSON::parse: what it accepts, the kinds of numbers it builds, and the
// nesting limit that keeps a hostile reply from exhausting the stack.
#include "core/json/JSONParser.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo {
namespace {

constexpr int kDeep = 1000;

std::string nested(int levels) {
    return std::string(static_cast<std::size_t>(levels), '[') + std::string(static_cast<std::size_t>(levels), ']');
}

TEST(JSONParser, AcceptsStrictJSONOnly) {
    for (const char* good : {"[]", "{}", " [1, 2.5, -3] ", "\xEF\xBB\xBF[1]", "\"x\"", "7", "null",
                             R"({"a":{"b":[{}]}})", R"(["\ud83d\ude00"])"}) {
        EXPECT_TRUE(parseJSONDocument(good, kDeep)) << good;
    }
    for (const char* bad :
         {"", " ", "nul", "[1,]", "{a:1}", "[] []", "'x'", "[nan]", "01", "1e400", R"(["\ud83d"])", "\"\xC3\"", "[1"}) {
        EXPECT_FALSE(parseJSONDocument(bad, kDeep)) << bad;
    }
}

TEST(JSONParser, IntegersKeepTheirSignedness) {
    const auto parsed = parseJSONDocument("[5, -5, 5.0]", kDeep);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE((*parsed)[0].is_number_unsigned());
    EXPECT_TRUE((*parsed)[1].is_number_integer() && !(*parsed)[1].is_number_unsigned());
    EXPECT_TRUE((*parsed)[2].is_number_float());
}

TEST(JSONParser, NestingLimit) {
    EXPECT_TRUE(parseJSONDocument(nested(10), 10));
    EXPECT_FALSE(parseJSONDocument(nested(11), 10));
    EXPECT_FALSE(parseJSONDocument("[{\"a\":[[]]}]", 3));
    EXPECT_TRUE(parseJSONDocument("[{\"a\":[1]},[[]]]", 3));
    // Brackets inside strings, also after an escaped quote, do not count.
    EXPECT_TRUE(parseJSONDocument(R"(["[[[[", "\"[[[[", {"k]]": 1}])", 2));
    EXPECT_FALSE(parseJSONDocument(nested(100000), 512));
}

}  // namespace
}  // namespace velmo
