#include "platform/defaults/PlistCodec.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace velmo {
namespace {

PlistValue roundTrip(const PlistValue& value) {
    const auto decoded = decodeStoredValue(encodeStoredValue(value));
    EXPECT_TRUE(decoded.has_value()) << encodeStoredValue(value);
    return decoded.value_or(PlistValue("<undecodable>"));
}

template <typename T>
bool sameBits(T a, T b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(PlistCodec, EveryKindKeepsItsKindAndValue) {
    const PlistValue values[] = {
        PlistValue(),
        PlistValue(true),
        PlistValue(false),
        PlistValue(std::numeric_limits<int64_t>::min()),
        PlistValue(std::numeric_limits<int64_t>::max()),
        PlistValue(0.1F),
        PlistValue(std::numeric_limits<float>::denorm_min()),
        PlistValue(0.1),
        PlistValue(1.0 / 3.0),
        PlistValue(5.0),
        PlistValue(std::numeric_limits<double>::max()),
        PlistValue(std::numeric_limits<double>::infinity()),
        PlistValue(-std::numeric_limits<float>::infinity()),
        PlistValue(""),
        PlistValue("Kálvin tér \"quoted\" \n\t\\ 🚋"),
        PlistValue(std::string("nul\0inside", 10)),
        PlistValue(std::string("\xff\xfe not utf-8")),
        PlistValue(PlistList{}),
        PlistValue(PlistMap{}),
        PlistValue(PlistList{1, 1.0, 1.0F, "1", true, PlistValue(), PlistList{2}, PlistMap{{"x", 3.0F}}}),
        PlistValue(PlistMap{{"int", 1},
                            {"double", 1.0},
                            {"float", 1.0F},
                            {"nested", PlistMap{{"list", PlistList{PlistMap{{"deep", 2.5}}}}}}}),
        PlistValue(PlistMap{{std::string("\xc3\x28"), 1}, {"plain", 2}}),
    };
    for (const PlistValue& value : values) {
        EXPECT_EQ(roundTrip(value), value) << encodeStoredValue(value);
    }
}

TEST(PlistCodec, FloatingPointIsBitExact) {
    const double negativeZero = roundTrip(PlistValue(-0.0)).toDouble();
    EXPECT_TRUE(sameBits(negativeZero, -0.0));
    const PlistValue nanDouble = roundTrip(PlistValue(std::numeric_limits<double>::quiet_NaN()));
    ASSERT_NE(nanDouble.ifDouble(), nullptr);
    EXPECT_TRUE(std::isnan(*nanDouble.ifDouble()));
    const PlistValue nanFloat = roundTrip(PlistValue(std::numeric_limits<float>::quiet_NaN()));
    ASSERT_NE(nanFloat.ifFloat(), nullptr);
    EXPECT_TRUE(std::isnan(*nanFloat.ifFloat()));
    for (const double d : {0.1, 2.0 / 3.0, 1e-300, 123456789.123456789, -4.9e-324}) {
        EXPECT_TRUE(sameBits(roundTrip(PlistValue(d)).toDouble(), d)) << d;
    }
}

TEST(PlistCodec, TextIsReadableTaggedJson) {
    EXPECT_EQ(encodeStoredValue(PlistValue(5)), R"({"int":5})");
    EXPECT_EQ(encodeStoredValue(PlistValue(true)), R"({"bool":true})");
    EXPECT_EQ(encodeStoredValue(PlistValue(1.5F)), R"({"float":1.5})");
    EXPECT_EQ(encodeStoredValue(PlistValue(PlistList{"a"})), R"({"list":[{"string":"a"}]})");
}

TEST(PlistCodec, RejectsTextOfAnotherShape) {
    for (const char* text :
         {"", "garbage", "5", "\"text\"", "{}", R"({"int":1,"bool":true})", R"({"int":1.5})",
          R"({"int":18446744073709551615})", R"({"bool":1})", R"({"colour":"red"})", R"({"list":[{"int":"x"}]})",
          R"({"bytes":"abc"})", R"({"double":"infinity"})", R"({"map":[]})"}) {
        EXPECT_EQ(decodeStoredValue(text), std::nullopt) << text;
    }
}

}  // namespace
}  // namespace velmo
