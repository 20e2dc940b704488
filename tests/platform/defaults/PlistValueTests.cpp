#include "platform/defaults/PlistValue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

struct ConversionCase {
    const char* name;
    PlistValue value;
    bool asBool;
    int64_t asInteger;
    double asDouble;
};

void PrintTo(const ConversionCase& c, std::ostream* os) { *os << c.name; }

class ConversionTable : public testing::TestWithParam<ConversionCase> {};

TEST_P(ConversionTable, TypedReaders) {
    const ConversionCase& c = GetParam();
    EXPECT_EQ(c.value.toBool(), c.asBool);
    EXPECT_EQ(c.value.toInteger(), c.asInteger);
    if (std::isnan(c.asDouble)) {
        EXPECT_TRUE(std::isnan(c.value.toDouble()));
        EXPECT_TRUE(std::isnan(c.value.toFloat()));
    } else {
        EXPECT_EQ(c.value.toDouble(), c.asDouble);
        EXPECT_EQ(c.value.toFloat(), static_cast<float>(c.asDouble));
    }
}

const ConversionCase conversionCases[] = {
    {"null", PlistValue(), false, 0, 0.0},
    {"true", PlistValue(true), true, 1, 1.0},
    {"false", PlistValue(false), false, 0, 0.0},
    {"integer", PlistValue(int64_t{-42}), true, -42, -42.0},
    {"zero", PlistValue(0), false, 0, 0.0},
    {"integerMax", PlistValue(std::numeric_limits<int64_t>::max()), true, std::numeric_limits<int64_t>::max(),
     9223372036854775807.0},
    {"floatFraction", PlistValue(2.75F), true, 2, 2.75},
    {"negativeDouble", PlistValue(-3.99), true, -3, -3.99},
    {"smallDouble", PlistValue(0.25), true, 0, 0.25},
    {"negativeZero", PlistValue(-0.0), false, 0, -0.0},
    {"nan", PlistValue(nan), true, 0, nan},
    {"floatNan", PlistValue(std::numeric_limits<float>::quiet_NaN()), true, 0, nan},
    {"infinity", PlistValue(inf), true, 0, inf},
    {"doubleTooBig", PlistValue(1e19), true, 0, 1e19},
    {"doubleTooSmall", PlistValue(-1e19), true, 0, -1e19},
    {"lowestFits", PlistValue(-9223372036854775808.0), true, std::numeric_limits<int64_t>::min(),
     -9223372036854775808.0},
    {"twoToThe63", PlistValue(9223372036854775808.0), true, 0, 9223372036854775808.0},
    {"stringInteger", PlistValue("12"), true, 12, 12.0},
    {"stringSpacedFraction", PlistValue(" -3.5 "), true, -3, -3.5},
    {"stringPlus", PlistValue("+7"), true, 7, 7.0},
    {"stringExponent", PlistValue("1.5e3"), true, 1500, 1500.0},
    {"stringLeadingPoint", PlistValue(".5"), true, 0, 0.5},
    {"stringTrailingPoint", PlistValue("5."), true, 5, 5.0},
    {"stringZeroFraction", PlistValue("0.0"), false, 0, 0.0},
    {"stringTabsNewlines", PlistValue("\t42\n"), true, 42, 42.0},
    // Beyond a double's 53 bits the integer text stays exact.
    {"stringBigInteger", PlistValue("9007199254740993"), true, 9007199254740993, 9007199254740992.0},
    {"stringIntegerOutOfRange", PlistValue("99999999999999999999"), true, 0, 1e20},
    {"stringOverflow", PlistValue("1e999"), true, 0, inf},
    {"stringEmpty", PlistValue(""), false, 0, 0.0},
    {"stringBlank", PlistValue("   "), false, 0, 0.0},
    {"stringWord", PlistValue("true"), false, 0, 0.0},
    {"stringTrailingText", PlistValue("12abc"), false, 0, 0.0},
    {"stringHex", PlistValue("0x10"), false, 0, 0.0},
    {"stringInf", PlistValue("inf"), false, 0, 0.0},
    {"stringNan", PlistValue("nan"), false, 0, 0.0},
    {"stringDecimalComma", PlistValue("3,5"), false, 0, 0.0},
    {"stringLoneSign", PlistValue("-"), false, 0, 0.0},
    {"stringLonePoint", PlistValue("."), false, 0, 0.0},
    {"stringBareExponent", PlistValue("1e"), false, 0, 0.0},
    {"stringInnerSpace", PlistValue("1 2"), false, 0, 0.0},
    {"list", PlistValue(PlistList{PlistValue(1)}), false, 0, 0.0},
    {"map", PlistValue(PlistMap{{"a", PlistValue(1)}}), false, 0, 0.0},
};

INSTANTIATE_TEST_SUITE_P(PlistValue, ConversionTable, testing::ValuesIn(conversionCases),
                         [](const testing::TestParamInfo<ConversionCase>& p) { return std::string(p.param.name); });

TEST(PlistValue, FloatNarrowsAndIntegerRoundsOnce) {
    EXPECT_EQ(PlistValue(0.1).toFloat(), 0.1F);
    EXPECT_EQ(PlistValue(1e300).toFloat(), std::numeric_limits<float>::infinity());
    // 2^24 + 1 is not a float; rounding it once gives 2^24.
    EXPECT_EQ(PlistValue(int64_t{16777217}).toFloat(), 16777216.0F);
}

TEST(PlistValue, ToStringOnlyForStrings) {
    EXPECT_EQ(PlistValue("abc").toString(), "abc");
    EXPECT_EQ(PlistValue("").toString(), "");
    EXPECT_EQ(PlistValue(12).toString(), std::nullopt);
    EXPECT_EQ(PlistValue().toString(), std::nullopt);
}

TEST(PlistValue, KindsAndEquality) {
    EXPECT_EQ(PlistValue(1).kind(), PlistValue::Kind::Integer);
    EXPECT_EQ(PlistValue(1.0F).kind(), PlistValue::Kind::Float);
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
    EXPECT_NE(PlistValue(1.0F), PlistValue(1.0));
    EXPECT_EQ(PlistValue(PlistList{1, "a"}), PlistValue(PlistList{1, "a"}));
    EXPECT_STREQ(PlistValue::kindName(PlistValue::Kind::Integer), "int");
    EXPECT_STREQ(PlistValue::kindName(PlistValue::Kind::Map), "map");
}

}  // namespace
}  // namespace velmo
