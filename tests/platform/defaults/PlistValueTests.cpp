// The typed readers' conversions and the stored text form of values.

#include "platform/defaults/PlistCodec.h"
#include "platform/defaults/PlistValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(PlistValue, TypedReadersConvert) {
    // clang-format off
    const std::tuple<PlistValue, bool, int64_t, double> cases[] = {  // toBool, toInteger, toDouble
        {PlistValue(), false, 0, 0.0},     {true, true, 1, 1.0},            {int64_t{-42}, true, -42, -42.0},
        {0, false, 0, 0.0},                {2.75F, true, 2, 2.75},          {-3.99, true, -3, -3.99},
        {-0.0, false, 0, -0.0},            {nan, true, 0, nan},             {inf, true, 0, inf},
        {-1e19, true, 0, -1e19},           {"12", true, 12, 12.0},          {" -3.5 ", true, -3, -3.5},
        {"\t+7\n", true, 7, 7.0},          {"1.5e3", true, 1500, 1500.0},   {".5", true, 0, 0.5},
        {"5.", true, 5, 5.0},              {"0.0", false, 0, 0.0},          {"1e999", true, 0, inf},
        {"99999999999999999999", true, 0, 1e20},  {PlistList{1}, false, 0, 0.0},  {PlistMap{{"a", 1}}, false, 0, 0.0},
        {std::numeric_limits<float>::quiet_NaN(), true, 0, nan},
        {kMax, true, kMax, 9223372036854775807.0},
        {-9223372036854775808.0, true, std::numeric_limits<int64_t>::min(), -9223372036854775808.0},
        {9223372036854775808.0, true, 0, 9223372036854775808.0},  // the first double beyond int64
        {"9007199254740993", true, 9007199254740993, 9007199254740992.0}};  // exact beyond 53 bits
    // clang-format on
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    for (const auto& [value, asBool, asInteger, asDouble] : cases) {
        SCOPED_TRACE(encodeStoredValue(value));
        EXPECT_EQ(value.toBool(), asBool);
        EXPECT_EQ(value.toInteger(), asInteger);
        EXPECT_TRUE(same(value.toDouble(), asDouble)) << value.toDouble();
        EXPECT_TRUE(same(value.toFloat(), static_cast<float>(asDouble))) << value.toFloat();
    }
    // Only a whole decimal number counts as a numeric string.
    for (const char* text : {"", "   ", "true", "12abc", "0x10", "inf", "nan", "3,5", "-", ".", "1e", "1 2"}) {
        const PlistValue value(text);
        EXPECT_FALSE(value.toBool()) << text;
        EXPECT_EQ(value.toInteger(), 0) << text;
        EXPECT_EQ(value.toDouble(), 0.0) << text;
    }
    EXPECT_EQ(PlistValue(1e300).toFloat(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(PlistValue(int64_t{16777217}).toFloat(), 16777216.0F);  // rounded once, not twice
    EXPECT_EQ(PlistValue(12).toString(), std::nullopt);
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
    EXPECT_NE(PlistValue(1.0F), PlistValue(1.0));
}

// The stored form is tagged JSON that sqlite3 shows readably; files written earlier must keep reading the same.
TEST(PlistCodec, StoredTextIsTaggedJson) {
    EXPECT_EQ(encodeStoredValue(PlistValue(5)), R"({"int":5})");
    EXPECT_EQ(encodeStoredValue(PlistValue(PlistList{"a", 1.5F})), R"({"list":[{"string":"a"},{"float":1.5}]})");
    EXPECT_EQ(decodeStoredValue(R"({"map":{"k":{"bool":true}}})"), PlistValue(PlistMap{{"k", true}}));
    for (const char* text :
         {"", "garbage", "5", "\"text\"", "{}", R"({"int":1,"bool":true})", R"({"int":1.5})",
          R"({"int":18446744073709551615})", R"({"bool":1})", R"({"colour":"red"})", R"({"list":[{"int":"x"}]})",
          R"({"bytes":"abc"})", R"({"double":"infinity"})", R"({"map":[]})"}) {
        EXPECT_EQ(decodeStoredValue(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace velmo
