// Property-list values to JSON and back.

#include "core/settings/PlistJson.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo {
namespace {

TEST(PlistJsonTest, ValuesBecomeJson) {
    const std::vector<std::pair<PlistValue, std::string>> cases{
        {PlistValue(), "null"},
        {true, "true"},
        {int64_t{-42}, "-42"},
        {300.0F, "300.0"},
        {0.1F, "0.1"},  // the float's own shortest text, not 0.10000000149011612
        {2.5, "2.5"},
        {std::numeric_limits<float>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
        {"Örs \"vezér\"", R"("Örs \"vezér\"")"},
        {PlistList{int64_t{1}, "a", PlistList{}}, R"([1,"a",[]])"},
        {PlistMap{{"raw", "S1"}, {"n", PlistMap{}}}, R"({"n":{},"raw":"S1"})"},
    };
    for (const auto& [value, text] : cases)
        EXPECT_EQ(plistToJson(value).dump(), text) << text;
}

TEST(PlistJsonTest, JsonTextBecomesValues) {
    EXPECT_EQ(parsePlistJson("null"), PlistValue());
    EXPECT_EQ(parsePlistJson(" 12 "), PlistValue(int64_t{12}));
    EXPECT_EQ(parsePlistJson("-3.5"), PlistValue(-3.5));
    EXPECT_EQ(parsePlistJson("18446744073709551615"), PlistValue(18446744073709551615.0));
    EXPECT_EQ(parsePlistJson(R"("x")"), PlistValue("x"));
    EXPECT_EQ(parsePlistJson(R"([{"raw":"S1","display":"Deák tér"}, false])"),
              PlistValue(PlistList{PlistMap{{"raw", "S1"}, {"display", "Deák tér"}}, false}));
    for (const char* bad : {"", "[1,", "{raw: 1}", "abc", "1 2"})
        EXPECT_EQ(parsePlistJson(bad), std::nullopt) << bad;
}

TEST(PlistJsonTest, RoundTripKeepsNestedValues) {
    const PlistValue value = PlistMap{
        {"list", PlistList{int64_t{1}, 2.25, "x", true, PlistValue()}},
        {"map", PlistMap{{"a", "b"}}},
    };
    EXPECT_EQ(jsonToPlist(plistToJson(value)), value);
}

}  // namespace
}  // namespace velmo
