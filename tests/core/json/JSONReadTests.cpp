// Reading JSON values: parsing, kinds, subscripts with their error records, accessors,
// iteration.
#include "core/json/JSON.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace velmo {
namespace {

using Type = JSON::Type;

const JSON::ReadingOptions kFragments{.allowFragments = true};

JSONError err(int code, std::string message) {
    return JSONError{std::string(kJSONErrorDomain), code, std::move(message)};
}

TEST(JSONType, RawValuesAreFixed) {
    EXPECT_EQ(static_cast<int>(Type::number), 0);
    EXPECT_EQ(static_cast<int>(Type::string), 1);
    EXPECT_EQ(static_cast<int>(Type::boolean), 2);
    EXPECT_EQ(static_cast<int>(Type::array), 3);
    EXPECT_EQ(static_cast<int>(Type::dictionary), 4);
    EXPECT_EQ(static_cast<int>(Type::null), 5);
    EXPECT_EQ(static_cast<int>(Type::unknown), 6);
}

TEST(JSONParse, KindsOfDocuments) {
    struct Case {
        const char* bytes;
        bool fragments;
        Type type;
        std::size_t count;
    };
    const Case cases[] = {
        {"[]", false, Type::array, 0},
        {"{\"a\": 1}", false, Type::dictionary, 1},
        {" [1, \"x\", null] ", false, Type::array, 3},
        {"7", true, Type::number, 0},
        {"\"hi\"", true, Type::string, 0},
        {"true", true, Type::boolean, 0},
        {"null", true, Type::null, 0},
        // Without the option a bare scalar is not a document.
        {"7", false, Type::null, 0},
        {"\"hi\"", false, Type::null, 0},
        // Bad bytes.
        {"nul", true, Type::null, 0},
        {"", true, Type::null, 0},
        {"[1,", true, Type::null, 0},
        {"[1] x", true, Type::null, 0},
        {"{\"a\":1,}", true, Type::null, 0},
        {"[1e999]", true, Type::null, 0},
        {"[\"\xff\"]", true, Type::null, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        const JSON json = JSON::parse(c.bytes, {.allowFragments = c.fragments});
        EXPECT_EQ(json.type(), c.type);
        EXPECT_EQ(json.count(), c.count);
        if (c.type == Type::null) {
            EXPECT_FALSE(json.error().has_value());
        }
    }
}

TEST(JSONParse, BadBytesGiveNullWhoseKeySubscriptsFailWithWrongType) {
    for (const char* bytes : {"nul", ""}) {
        const JSON json = JSON::parse(bytes, kFragments);
        const JSON member = json["stopDates"];
        EXPECT_EQ(member.type(), Type::null);
        EXPECT_EQ(member.error(), err(901, "Dictionary[\"stopDates\"] failure, It is not an dictionary"));
    }
}

TEST(JSONParse, ByteSpanInput) {
    const std::vector<std::uint8_t> bytes{'[', '4', '2', ']'};
    EXPECT_EQ(JSON::parse(std::span<const std::uint8_t>(bytes))[0].integer(), 42);
}

TEST(JSONParse, NestingBeyondTheLimitIsRejected) {
    const auto nested = [](int depth) {
        return std::string(static_cast<std::size_t>(depth), '[') + std::string(static_cast<std::size_t>(depth), ']');
    };
    EXPECT_EQ(JSON::parse(nested(JSON::kMaxNesting)).type(), Type::array);
    EXPECT_EQ(JSON::parse(nested(JSON::kMaxNesting + 1)).type(), Type::null);
    EXPECT_EQ(JSON::parse(nested(100000)).type(), Type::null);
    // Brackets inside strings, escaped quotes included, do not count.
    const std::string inString = "[\"\\\"" + std::string(1000, '[') + "\"]";
    EXPECT_EQ(JSON::parse(inString).type(), Type::array);
}

TEST(JSONParse, IntegersAndFloatsStayApart) {
    const JSON json = JSON::parse(R"({"i": 20, "n": -3, "f": 20.0, "big": 18446744073709551615})");
    EXPECT_TRUE(json["i"].number()->isInteger());
    EXPECT_TRUE(json["n"].number()->isInteger());
    EXPECT_TRUE(json["f"].number()->isFloating());
    EXPECT_EQ(json["i"].stringValue(), "20");
    EXPECT_EQ(json["big"].stringValue(), "18446744073709551615");
    EXPECT_EQ(json["big"].intValue(), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(json.rawData().data, R"({"big":18446744073709551615,"f":20.0,"i":20,"n":-3})");
}

class JSONPathTest : public ::testing::Test {
protected:
    const JSON json = JSON::parse(R"({"a": {"b": [10, 20]}, "s": "text"})");
};

TEST_F(JSONPathTest, IndexAndKeySubscripts) {
    EXPECT_EQ(json["a"]["b"][1].integer(), 20);
    EXPECT_EQ(json["a"]["b"][std::size_t{0}].integer(), 10);
    EXPECT_EQ((json[{"a", "b", 1}].integer()), 20);
    EXPECT_EQ((json[JSONPath{"a", "b", 0}].integer()), 10);
    EXPECT_EQ(json[JSONPath{}].type(), Type::dictionary);
    EXPECT_EQ(json[std::string("s")].string(), "text");
}

TEST_F(JSONPathTest, FailedStepsCarryTheFirstError) {
    struct Case {
        JSONPath path;
        JSONError error;
    };
    const Case cases[] = {
        {{"a", "b", 2}, err(900, "Array[2] is out of bounds")},
        {{"a", "b", -1}, err(900, "Array[-1] is out of bounds")},
        {{"a", "x", "y"}, err(500, "Dictionary[\"x\"] does not exist")},
        {{"a", "x", 3, "z"}, err(500, "Dictionary[\"x\"] does not exist")},
        {{"a", "b", "c"}, err(901, "Dictionary[\"c\"] failure, It is not an dictionary")},
        {{"s", 0}, err(901, "Array[0] failure, It is not an array")},
        {{"a", "b", 1, 0}, err(901, "Array[0] failure, It is not an array")},
        {{"a", "b", 5, "k"}, err(900, "Array[5] is out of bounds")},
        {{"missing"}, err(500, "Dictionary[\"missing\"] does not exist")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error.message);
        const JSON result = json[c.path];
        EXPECT_EQ(result.type(), Type::null);
        EXPECT_EQ(result.error(), c.error);
    }
}

TEST_F(JSONPathTest, HugeUnsignedIndexIsOutOfBounds) {
    const JSON result = json["a"]["b"][std::numeric_limits<std::uint64_t>::max()];
    EXPECT_EQ(result.error()->code, ErrorIndexOutOfBounds);
}

TEST(JSONUnknown, NonJSONNodesAreUnknownWithTheirError) {
    const JSON unknown(nlohmann::json::binary({1, 2, 3}));
    EXPECT_EQ(unknown.type(), Type::unknown);
    EXPECT_EQ(unknown.error(), err(999, "It is a unsupported type"));
    EXPECT_TRUE(unknown.object().is_null());
    // Subscripts pass the receiver's own error on.
    EXPECT_EQ(unknown["k"].error(), unknown.error());
    EXPECT_EQ(unknown[0].error(), unknown.error());
    EXPECT_EQ(unknown.stringValue(), "");
    EXPECT_FALSE(unknown.rawData());

    // Inside a tree such a node is unknown when read, and the tree cannot be serialised.
    nlohmann::json tree = nlohmann::json::array();
    tree.push_back(nlohmann::json::binary({1}));
    const JSON withBinary(tree);
    EXPECT_EQ(withBinary[0].type(), Type::unknown);
    EXPECT_EQ(withBinary.rawData().error->code, ErrorInvalidJSON);
}

// One row per kind: how every accessor reads it.
TEST(JSONAccessors, TableByKind) {
    const JSON doc = JSON::parse(
        R"({"int": 7, "neg": -7.9, "zero": 0, "text": "12.5", "yes": true, "no": false,
            "list": [1, 2], "map": {"k": "v"}, "nothing": null})");

    const JSON integer = doc["int"];
    EXPECT_EQ(integer.type(), Type::number);
    EXPECT_EQ(integer.number(), JSONNumber(7));
    EXPECT_EQ(integer.integer(), 7);
    EXPECT_EQ(integer.double_(), 7.0);
    EXPECT_FALSE(integer.string());
    EXPECT_FALSE(integer.boolean());
    EXPECT_FALSE(integer.array());
    EXPECT_FALSE(integer.dictionary());
    EXPECT_EQ(integer.stringValue(), "7");
    EXPECT_TRUE(integer.boolValue());
    EXPECT_FALSE(doc["zero"].boolValue());

    const JSON negative = doc["neg"];
    EXPECT_EQ(negative.integer(), -7);  // toward zero
    EXPECT_EQ(negative.intValue(), -7);
    EXPECT_EQ(negative.double_(), -7.9);
    EXPECT_EQ(negative.stringValue(), "-7.9");

    const JSON text = doc["text"];
    EXPECT_EQ(text.string(), "12.5");
    EXPECT_FALSE(text.double_());
    EXPECT_FALSE(text.number());
    EXPECT_FALSE(text.integer());
    EXPECT_EQ(text.doubleValue(), 12.5);
    EXPECT_EQ(text.intValue(), 12);
    EXPECT_EQ(text.stringValue(), "12.5");
    EXPECT_FALSE(text.boolValue());

    const JSON yes = doc["yes"];
    EXPECT_EQ(yes.type(), Type::boolean);
    EXPECT_EQ(yes.boolean(), true);
    EXPECT_EQ(yes.bool_(), true);
    EXPECT_EQ(yes.integer(), 1);
    EXPECT_EQ(yes.int_(), 1);
    EXPECT_EQ(yes.double_(), 1.0);
    EXPECT_EQ(yes.number(), JSONNumber(1));
    EXPECT_FALSE(yes.string());
    EXPECT_EQ(yes.stringValue(), "true");
    EXPECT_EQ(doc["no"].stringValue(), "false");
    EXPECT_EQ(doc["no"].intValue(), 0);
    EXPECT_FALSE(doc["no"].boolValue());

    for (const char* key : {"list", "map", "nothing", "absent"}) {
        SCOPED_TRACE(key);
        const JSON other = doc[key];
        EXPECT_FALSE(other.string());
        EXPECT_FALSE(other.boolean());
        EXPECT_FALSE(other.number());
        EXPECT_FALSE(other.integer());
        EXPECT_FALSE(other.double_());
        EXPECT_EQ(other.stringValue(), "");
        EXPECT_FALSE(other.boolValue());
        EXPECT_EQ(other.doubleValue(), 0.0);
        EXPECT_EQ(other.intValue(), 0);
    }

    EXPECT_EQ(doc["list"].array()->size(), 2u);
    EXPECT_EQ(doc["list"].arrayValue().at(1).integer(), 2);
    EXPECT_FALSE(doc["list"].dictionary());
    EXPECT_TRUE(doc["list"].dictionaryValue().empty());
    EXPECT_EQ(doc["map"].dictionary()->at("k").string(), "v");
    EXPECT_EQ(doc["map"].dictionaryValue().at("k").string(), "v");
    EXPECT_FALSE(doc["map"].array());
    EXPECT_TRUE(doc["map"].arrayValue().empty());
    EXPECT_TRUE(doc["int"].arrayValue().empty());
    EXPECT_TRUE(doc["text"].dictionaryValue().empty());
}

TEST(JSONAccessors, NumberValueOfText) {
    struct Case {
        const char* text;
        double number;
        std::int64_t integer;
    };
    const Case cases[] = {
        {"12.5", 12.5, 12},  {"-12.5", -12.5, -12},
        {" 42 ", 42, 42},    {"+3", 3, 3},
        {"1e3", 1000, 1000}, {".5", 0.5, 0},
        {"abc", 0, 0},       {"", 0, 0},
        {"12abc", 0, 0},     {"inf", 0, 0},
        {"nan", 0, 0},       {"1e999", 0, 0},
        {"+-1", 0, 0},       {"0x10", 0, 0},
        {"-", 0, 0},         {"9223372036854775807", 9223372036854775807.0, std::numeric_limits<std::int64_t>::max()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const JSON json(c.text);
        EXPECT_EQ(json.doubleValue(), c.number);
        EXPECT_EQ(json.intValue(), c.integer);
    }
}

TEST(JSONAccessors, BoolValueOfTextAcceptsOnlyTheWordTrue) {
    const std::map<std::string, bool> cases{
        {"true", true}, {"TRUE", true}, {"tRuE", true},   {"1", false},
        {"yes", false}, {"y", false},   {"true ", false}, {"", false},
    };
    for (const auto& [text, expected] : cases)
        EXPECT_EQ(JSON(text).boolValue(), expected) << text;
}

TEST(JSONNumber, ConversionToIntegerNeverOverflows) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    EXPECT_EQ(JSONNumber(nan).toInt64(), 0);
    EXPECT_EQ(JSONNumber(inf).toInt64(), kMax);
    EXPECT_EQ(JSONNumber(-inf).toInt64(), kMin);
    EXPECT_EQ(JSONNumber(1e300).toInt64(), kMax);
    EXPECT_EQ(JSONNumber(-9223372036854775808.0).toInt64(), kMin);
    EXPECT_EQ(JSONNumber(-2.99).toInt64(), -2);
    EXPECT_EQ(JSONNumber(2.99).toInt64(), 2);
    EXPECT_TRUE(JSON(nan).boolValue());  // NaN is not zero
}

TEST(JSONNumber, TextAndEquality) {
    EXPECT_EQ(JSONNumber(20.0).text(), "20");
    EXPECT_EQ(JSONNumber(12.5).text(), "12.5");
    EXPECT_EQ(JSONNumber(0.1).text(), "0.1");
    EXPECT_EQ(JSONNumber(-5).text(), "-5");
    EXPECT_EQ(JSONNumber(20), JSONNumber(20.0));
    EXPECT_EQ(JSONNumber(std::uint64_t{5}), JSONNumber(5));
    EXPECT_NE(JSONNumber(-1), JSONNumber(std::numeric_limits<std::uint64_t>::max()));
    EXPECT_NE(JSONNumber(20), JSONNumber(20.5));
}

TEST(JSONIteration, DictionaryArrayAndScalars) {
    const JSON doc = JSON::parse(R"({"b": [true, "x", 3], "a": 1})");

    std::map<std::string, Type> members;
    for (const auto& [key, value] : doc)
        members[key] = value.type();
    EXPECT_EQ(members, (std::map<std::string, Type>{{"a", Type::number}, {"b", Type::array}}));

    std::vector<std::pair<std::string, std::string>> elements;
    for (const auto& [key, value] : doc["b"])
        elements.emplace_back(key, value.stringValue());
    EXPECT_EQ(elements, (std::vector<std::pair<std::string, std::string>>{{"0", "true"}, {"1", "x"}, {"2", "3"}}));

    for (const JSON& scalar : {doc["a"], JSON("text"), JSON(), doc["missing"]}) {
        int visited = 0;
        for ([[maybe_unused]] const auto& entry : scalar)
            ++visited;
        EXPECT_EQ(visited, 0) << scalar.type();
        EXPECT_EQ(scalar.count(), 0u);
        EXPECT_TRUE(scalar.isEmpty());
    }
    EXPECT_FALSE(doc.isEmpty());
    EXPECT_TRUE(JSON::parse("{}").isEmpty());
}

TEST(JSONIteration, IteratorKeepsItsTreeAlive) {
    JSON::const_iterator it;
    {
        const JSON doc = JSON::parse(R"(["kept"])");
        it = doc.begin();
    }
    EXPECT_EQ((*it).second.string(), "kept");
    EXPECT_NE(it, JSON().begin());  // iterators of different trees compare unequal
}

TEST(JSONValue, ObjectGetterReturnsThePlainValue) {
    EXPECT_EQ(JSON("x").object(), nlohmann::json("x"));
    EXPECT_EQ(JSON(true).object(), nlohmann::json(true));
    EXPECT_EQ(JSON(3).object(), nlohmann::json(3));
    EXPECT_TRUE(JSON::null().object().is_null());
    EXPECT_FALSE(JSON::null().error());
    EXPECT_EQ(JSON::parse("[1,[2]]")[1].object(), nlohmann::json::parse("[2]"));
}

}  // namespace
}  // namespace velmo
