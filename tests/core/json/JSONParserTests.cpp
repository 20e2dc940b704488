// The reader behind JSON::parse must accept exactly what nlohmann::json::parse accepts and
// build the same tree; every case here is checked against nlohmann's own parser.
#include "core/json/JSONParser.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace velmo {
namespace {

constexpr int kDeep = 1000;

// Both parsers agree: both reject, or both give a tree with the same kinds and text.
void expectSameAsNlohmann(const std::string& bytes) {
    const nlohmann::json expected = nlohmann::json::parse(bytes, nullptr, false);
    const std::optional<nlohmann::json> actual = parseJSONDocument(bytes, kDeep);
    if (expected.is_discarded()) {
        EXPECT_FALSE(actual.has_value()) << "accepted: " << bytes;
        return;
    }
    ASSERT_TRUE(actual.has_value()) << "rejected: " << bytes;
    // dump() tells integers, unsigned and floating numbers apart ("1", "1.0"); the kind of
    // the root is compared as well since 1 and 1u print alike.
    EXPECT_EQ(actual->type(), expected.type()) << bytes;
    EXPECT_EQ(actual->dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
              expected.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
        << bytes;
}

const std::vector<std::string> kDocuments = {
    // Structure and white space.
    "[]", "{}", " \t\r\n[ ] ", "[1,2,3]", R"({"a":{"b":[{}]}})", R"({"a":1,"a":2})",
    "\xEF\xBB\xBF[1]", "[1,]", "[,1]", "{\"a\"}", "{\"a\":}", "{\"a\":1,}", "{a:1}", "[1 2]",
    "[", "]", "{", "[[]", "[]]", "", " ", "[] []", "[1]\x01", "{\"a\":1 \"b\":2}", "[\v]",
    // Literals.
    "true", "false", "null", "[true,false,null]", "tru", "nul", "nulll", "True", "[nan]",
    "[Infinity]", "[undefined]",
    // Numbers.
    "0", "-0", "-0.0", "1", "-1", "20", "20.0", "1e3", "1E+3", "1e-3", "0.5", "123.456e-7",
    "9223372036854775807", "9223372036854775808", "-9223372036854775808",
    "-9223372036854775809", "18446744073709551615", "18446744073709551616",
    "123456789012345678901234567890", "1e308", "1.7976931348623157e308", "1e309", "-1e309",
    "1e-400", "-1e-400", "5e-324", "2.5e-320", "0.0000000000000000000000000000001e-300",
    "01", "-01", "1.", ".5", "-", "+1", "1e", "1e+", "0x10", "1.5.5", "- 1", "[1e5e5]",
    // Strings.
    R"("")", R"("abc")", R"("\"\\\/\b\f\n\r\t")", R"("\u0041\u00e9\u4e2d")", R"("\u0000")",
    R"("\ud83d\ude00")", R"("\ud83d")", R"("\ude00")", R"("\ud83d\u0041")", R"("\ud83dx")",
    R"("\u12")", R"("\u12G4")", R"("\x")", R"("\)", R"("abc)", "\"a\tb\"", "\"a\nb\"",
    "\"\x7f\"", "\"Kossuth tér\"", "\"\xC3\xA9\"", "\"\xC3\"", "\"\xC0\x80\"", "\"\xC1\xBF\"",
    "\"\xE0\x80\x80\"", "\"\xE0\xA0\x80\"", "\"\xED\xA0\x80\"", "\"\xED\x9F\xBF\"",
    "\"\xEF\xBF\xBF\"", "\"\xF0\x8F\xBF\xBF\"", "\"\xF0\x90\x80\x80\"", "\"\xF4\x8F\xBF\xBF\"",
    "\"\xF4\x90\x80\x80\"", "\"\xF5\x80\x80\x80\"", "\"\xFF\"", "\"\x80\"", "\"\xE2\x82\"",
    "'single'",
};

TEST(JSONParser, AgreesWithNlohmannOnEveryDocument) {
    for (const std::string& document : kDocuments) {
        SCOPED_TRACE(document);
        expectSameAsNlohmann(document);
        // The same text inside an array and as a member exercises the nested paths.
        expectSameAsNlohmann("[" + document + "]");
        expectSameAsNlohmann("{\"k\": " + document + "}");
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
    const auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '[') +
               std::string(static_cast<std::size_t>(depth), ']');
    };
    EXPECT_TRUE(parseJSONDocument(nested(10), 10));
    EXPECT_FALSE(parseJSONDocument(nested(11), 10));
    EXPECT_FALSE(parseJSONDocument("[{\"a\":[[]]}]", 3));
    EXPECT_TRUE(parseJSONDocument("[{\"a\":[1]},[[]]]", 3));
}

// Random damage to a realistic reply: whatever nlohmann says about the damaged bytes, the
// reader must say the same. The seed is fixed, so a failure reproduces.
TEST(JSONParser, AgreesWithNlohmannOnDamagedReplies) {
    const std::string reply =
        R"({"error":false,"stopDates":[{"stopLat":47.4979,"stopName":"Kossuth tér",)"
        R"("tripDepartureMinutes":-3,"tripDepartureGPS":true,"warningText":["\u00c9jszakai"],)"
        R"("big":18446744073709551615,"tiny":1e-5,"none":null}],"stopDatesNearby":[]})";
    const std::string alphabet = "{}[]\",:\\-+.eE0123456789tfnu \xC3\xA9\xFF\x01";
    std::mt19937 random(20240601);
    for (int round = 0; round < 3000; ++round) {
        std::string damaged = reply;
        const int edits = 1 + static_cast<int>(random() % 3);
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = random() % damaged.size();
            const char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
            case 0:
                damaged[at] = c;
                break;
            case 1:
                damaged.insert(at, 1, c);
                break;
            default:
                damaged.erase(at, 1);
                break;
            }
        }
        expectSameAsNlohmann(damaged);
        if (HasFailure())
            return;
    }
}

} // namespace
} // namespace velmo
