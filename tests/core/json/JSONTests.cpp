// JSON values: what parsing accepts, subscripts and their error records, accessors,
// assignment by path with value semantics, and serialisation.
#include "core/json/JSON.h"
#include "core/json/JSONParser.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

namespace velmo {
namespace {

using Type = JSON::Type;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

JSONError err(int code, std::string message) { return {std::string(kJSONErrorDomain), code, std::move(message)}; }
std::string bytes(const JSON& json) { return json.rawData().data.value_or("<failed>"); }
std::string nested(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

TEST(JSONParse, KindsOfDocumentsAndBadBytes) {
    // clang-format off
    const std::vector<std::tuple<const char*, Type, std::size_t>> documents{
        {"[]", Type::array, 0}, {" {\"a\": 1, \"a\": 2} ", Type::dictionary, 1},
        {"\xEF\xBB\xBF[1, \"x\", null]", Type::array, 3}, {R"(["\ud83d\ude00"])", Type::array, 1},
        {"7", Type::number, 0}, {"\"hi\"", Type::string, 0}, {"null", Type::null, 0}};
    // clang-format on
    for (const auto& [text, type, count] : documents) {
        const JSON json = JSON::parse(text, {.allowFragments = true});
        EXPECT_EQ(json.type(), type) << text;
        EXPECT_EQ(json.count(), count) << text;
    }
    EXPECT_EQ(JSON::parse("7").type(), Type::null);  // a bare scalar needs the option
    for (const char* bad :
         {"nul", "", "[1,]", "{a:1}", "[] []", "01", "[1e999]", R"(["\ud83d"])", "[\"\xff\"]", "[1"}) {
        const JSON json = JSON::parse(bad, {.allowFragments = true});
        EXPECT_EQ(json.type(), Type::null) << bad;
        EXPECT_FALSE(json.error()) << bad;
    }
    const std::vector<std::uint8_t> span{'[', '4', '2', ']'};
    EXPECT_EQ(JSON::parse(std::span<const std::uint8_t>(span))[0].integer(), 42);
    // Integers and floating numbers stay what they were, also beyond int64.
    const JSON numbers = JSON::parse(R"({"i": -20, "f": 20.0, "big": 18446744073709551615})");
    EXPECT_TRUE(numbers["i"].number()->isInteger() && numbers["f"].number()->isFloating());
    EXPECT_EQ(bytes(numbers), R"({"big":18446744073709551615,"f":20.0,"i":-20})");
    EXPECT_EQ(JSON::parse("nul")["k"].error(), err(901, "Dictionary[\"k\"] failure, It is not an dictionary"));
}

// The nesting limit keeps a hostile reply from exhausting the stack.
TEST(JSONParse, NestingLimit) {
    EXPECT_EQ(JSON::parse(nested(JSON::kMaxNesting)).type(), Type::array);
    EXPECT_EQ(JSON::parse(nested(JSON::kMaxNesting + 1)).type(), Type::null);
    EXPECT_EQ(JSON::parse(nested(100000)).type(), Type::null);
    EXPECT_FALSE(parseJSONDocument("[{\"a\":[[]]}]", 3));
    EXPECT_TRUE(parseJSONDocument("[{\"a\":[1]},[[]]]", 3));  // siblings do not add up
    // Brackets inside strings, also after an escaped quote, do not count.
    EXPECT_TRUE(parseJSONDocument(R"(["[[[[", "\"[[[[", {"k]]": 1}])", 2));
}

TEST(JSONSubscript, PathsAndTheFirstError) {
    const JSON json = JSON::parse(R"({"a": {"b": [10, 20]}, "s": "text"})");
    EXPECT_EQ((json[{"a", "b", 1}].integer()), 20);
    EXPECT_EQ(json["a"]["b"][std::size_t{0}].integer(), 10);
    EXPECT_EQ(json[JSONPath{}].type(), Type::dictionary);
    for (const auto& [path, error] : std::vector<std::pair<JSONPath, JSONError>>{
             {{"a", "b", 2}, err(900, "Array[2] is out of bounds")},
             {{"a", "b", -1}, err(900, "Array[-1] is out of bounds")},
             {{"a", "x", 3, "z"}, err(500, "Dictionary[\"x\"] does not exist")},
             {{"a", "b", "c"}, err(901, "Dictionary[\"c\"] failure, It is not an dictionary")},
             {{"s", 0}, err(901, "Array[0] failure, It is not an array")},
             {{"a", "b", 5, "k"}, err(900, "Array[5] is out of bounds")}}) {
        EXPECT_EQ(json[path].type(), Type::null) << error.message;
        EXPECT_EQ(json[path].error(), error);
    }
    EXPECT_EQ(json["a"]["b"][std::numeric_limits<std::uint64_t>::max()].error()->code, ErrorIndexOutOfBounds);
}

// How every accessor reads each kind; bool counts as 1 or 0 for the number accessors.
TEST(JSONAccessors, ByKind) {
    const JSON doc = JSON::parse(R"({"int": 7, "neg": -7.9, "zero": 0, "text": "12.5", "yes": true,
                                    "no": false, "list": [1, 2], "map": {"k": "v"}, "nothing": null})");
    // key, the accessors that answer (s: string(), b: boolean(), n: number()/integer()/double_()),
    // stringValue(), boolValue(), doubleValue(), intValue()
    // clang-format off
    const std::tuple<const char*, const char*, const char*, bool, double, std::int64_t> cases[] = {
        {"int", "n", "7", true, 7, 7},     {"neg", "n", "-7.9", true, -7.9, -7},
        {"zero", "n", "0", false, 0, 0},   {"text", "s", "12.5", false, 12.5, 12},
        {"yes", "bn", "true", true, 1, 1}, {"no", "bn", "false", false, 0, 0},
        {"list", "", "", false, 0, 0},     {"map", "", "", false, 0, 0},
        {"nothing", "", "", false, 0, 0},  {"absent", "", "", false, 0, 0}};
    // clang-format on
    for (const auto& [key, present, text, flag, number, integer] : cases) {
        SCOPED_TRACE(key);
        const JSON v = doc[key];
        EXPECT_EQ(std::string(v.string() ? "s" : "") + (v.boolean() ? "b" : "") + (v.number() ? "n" : ""), present);
        EXPECT_EQ(v.integer().value_or(integer), integer);
        EXPECT_EQ(v.double_().value_or(number), number);
        EXPECT_EQ(v.stringValue(), text);
        EXPECT_EQ(v.boolValue(), flag);
        EXPECT_EQ(v.doubleValue(), number);
        EXPECT_EQ(v.intValue(), integer);
        EXPECT_EQ(v.arrayValue().size() + v.dictionaryValue().size(), v.count());
    }
    EXPECT_EQ(doc["map"].dictionary()->at("k").string(), "v");
    EXPECT_EQ(doc["list"].array()->at(1).integer(), 2);
    EXPECT_FALSE(doc["map"].array() || doc["list"].dictionary());
}

TEST(JSONAccessors, TextReadAsNumberOrFlag) {
    // clang-format off
    const std::vector<std::tuple<const char*, double, std::int64_t>> numbers{
        {"-12.5", -12.5, -12}, {" 42 ", 42, 42}, {"+3", 3, 3}, {"1e3", 1000, 1000}, {".5", 0.5, 0},
        {"9223372036854775807", 9223372036854775807.0, INT64_MAX}};
    // clang-format on
    for (const auto& [text, number, integer] : numbers) {
        EXPECT_EQ(JSON(text).doubleValue(), number) << text;
        EXPECT_EQ(JSON(text).intValue(), integer) << text;
    }
    for (const char* bad : {"12abc", "inf", "nan", "1e999", "+-1", "0x10", "-", ""})
        EXPECT_EQ(JSON(bad).numberValue(), JSONNumber(0)) << bad;
    for (const char* text : {"true", "TRUE", "tRuE", "1", "yes", "true ", ""})
        EXPECT_EQ(JSON(text).boolValue(), std::string(text).size() == 4) << text;
}

TEST(JSONNumber, ConversionsNeverOverflow) {
    EXPECT_EQ(JSONNumber(kNaN).toInt64(), 0);
    EXPECT_EQ(JSONNumber(kInf).toInt64(), INT64_MAX);
    EXPECT_EQ(JSONNumber(1e300).toInt64(), INT64_MAX);
    EXPECT_EQ(JSONNumber(-9223372036854775808.0).toInt64(), INT64_MIN);
    EXPECT_EQ(JSONNumber(-2.99).toInt64(), -2);
    EXPECT_TRUE(JSON(kNaN).boolValue());  // NaN is not zero
    EXPECT_EQ(JSONNumber(std::uint64_t{5}), JSONNumber(5.0));
    EXPECT_NE(JSONNumber(-1), JSONNumber(std::numeric_limits<std::uint64_t>::max()));
}

TEST(JSONIteration, MembersElementsAndNothingElse) {
    const JSON doc = JSON::parse(R"({"b": [true, "x", 3], "a": 1})");
    std::vector<std::string> seen;
    for (const JSON& container : {doc, doc["b"]})
        for (const auto& [key, value] : container)
            seen.push_back(key + "=" + value.stringValue());
    EXPECT_EQ(seen, (std::vector<std::string>{"a=1", "b=", "0=true", "1=x", "2=3"}));
    EXPECT_EQ(doc["a"].begin(), doc["a"].end());

    JSON::const_iterator it;
    {
        const JSON owner = JSON::parse(R"(["kept"])");
        it = owner.begin();
    }
    EXPECT_EQ((*it).second.string(), "kept");  // the iterator keeps its tree alive
}

TEST(JSONSet, PathAssignmentAndPathsThatLeadNowhere) {
    JSON doc = JSON::parse(R"({"a": {"b": [10, 20], "c": {}}})");
    EXPECT_TRUE(doc.set({"a", "c", "d"}, "new"));
    EXPECT_TRUE(doc.set({"a", "b", 1}, 21));
    EXPECT_TRUE(doc.set("e", doc["missing"]));  // a failed subscript stores null
    EXPECT_EQ(bytes(doc), R"({"a":{"b":[10,21],"c":{"d":"new"}},"e":null})");

    const std::string before = bytes(doc);
    for (const JSONPath& path :
         std::vector<JSONPath>{{"x", "y"}, {"a", "b", 2}, {"a", "b", -1}, {"a", "b", "k"}, {"a", "b", 0, "k"}, {}})
        EXPECT_FALSE(doc.set(path, 1));
    EXPECT_EQ(bytes(doc), before);
    for (JSON receiver : {JSON::parse("[1]"), JSON("text"), JSON(), JSON(3)}) {
        const nlohmann::json plain = receiver.object();
        EXPECT_FALSE(receiver.set("k", 1));
        EXPECT_EQ(receiver.object(), plain);
    }
}

TEST(JSONSet, CopiesAndReadMembersAreIndependent) {
    const JSON original = JSON::parse(R"({"inner": {"k": 1}, "list": [1]})");
    JSON copy = original;
    JSON inner = original["inner"];
    copy.set({"inner", "k"}, 2);
    inner.set("k", 3);
    EXPECT_EQ(bytes(original) + bytes(copy) + bytes(inner), R"({"inner":{"k":1},"list":[1]})"
                                                            R"({"inner":{"k":2},"list":[1]}{"k":3})");

    const JSON list = copy["list"];
    copy.set({"list", 0}, 9);
    EXPECT_EQ(list[0].integer(), 1);
    EXPECT_EQ((copy[{"list", 0}].integer()), 9);

    JSON self{{"a", 1}};
    self.set("copy", self);
    EXPECT_EQ(bytes(self), R"({"a":1,"copy":{"a":1}})");
}

TEST(JSONRawData, InvalidValuesFailWithTheirError) {
    for (const JSON& value : {JSON("bare"), JSON(7), JSON(), JSON::parse("[1]")[5], JSON{{"n", kNaN}},
                              JSON{{"deep", JSON::Array{JSON{{"i", -kInf}}}}}}) {
        const auto result = value.rawData();
        EXPECT_FALSE(result.data);
        EXPECT_EQ(result.error, err(ErrorInvalidJSON, "JSON is invalid"));
    }
    const auto notUtf8 = JSON{{"name", "bad \xff utf-8"}}.rawData();
    ASSERT_TRUE(notUtf8.error);
    EXPECT_NE(notUtf8.error->domain, kJSONErrorDomain);
}

}  // namespace
}  // namespace velmo
