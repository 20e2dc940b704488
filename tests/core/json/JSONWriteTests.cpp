// Building JSON values: constructors, dictionary literals, assignment by path, value
// semantics and serialisation.
#include "core/json/JSON.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace velmo {
namespace {

using Type = JSON::Type;

std::string bytes(const JSON& json) { return json.rawData().data.value_or("<failed>"); }

TEST(JSONBuild, PlainValuesAreClassified) {
    EXPECT_EQ(JSON("x").type(), Type::string);
    EXPECT_EQ(JSON(std::string("x")).type(), Type::string);
    EXPECT_EQ(JSON(false).type(), Type::boolean);
    EXPECT_EQ(JSON(0).type(), Type::number);
    EXPECT_EQ(JSON(2.5).type(), Type::number);
    EXPECT_EQ(JSON(nullptr).type(), Type::null);
    EXPECT_EQ(JSON(static_cast<const char*>(nullptr)).type(), Type::null);
    EXPECT_EQ(JSON(JSON::Array{1, "a"}).type(), Type::array);
    EXPECT_EQ(JSON(JSON::Dictionary{{"k", 1}}).type(), Type::dictionary);
    EXPECT_EQ(JSON(nlohmann::json::parse(R"({"k": [1]})")).type(), Type::dictionary);
}

TEST(JSONBuild, DictionaryLiteralSerialisesCompactly) {
    const float lat = 47.4979f;
    const JSON body{
        {"lat", lat},          {"lon", 19.0402f}, {"radius", 500},      {"favoriteStops", JSON::Array{"F01", "F02"}},
        {"nearbyOnly", false}, {"city", "bp"},    {"nothing", nullptr},
    };
    EXPECT_EQ(body.type(), Type::dictionary);
    EXPECT_EQ(body.count(), 7u);
    EXPECT_EQ(bytes(body), R"({"city":"bp","favoriteStops":["F01","F02"],"lat":47.4979,)"
                           R"("lon":19.0402,"nearbyOnly":false,"nothing":null,"radius":500})");
    // The float reads back as the same float.
    EXPECT_EQ(static_cast<float>(*body["lat"].double_()), lat);
}

TEST(JSONBuild, PrettyPrinting) {
    const JSON body{{"a", 1}};
    EXPECT_EQ(body.rawData({.prettyPrinted = true}).data, "{\n  \"a\": 1\n}");
}

TEST(JSONSet, KeyAssignmentAddsAndReplacesMembers) {
    JSON body{{"a", 1}};
    EXPECT_TRUE(body.set("b", JSON::Array{1, 2}));
    EXPECT_TRUE(body.set("a", "one"));
    EXPECT_EQ(bytes(body), R"({"a":"one","b":[1,2]})");
}

TEST(JSONSet, AssignmentToOtherKindsChangesNothing) {
    for (JSON receiver : {JSON::parse("[1]"), JSON("text"), JSON(), JSON(3)}) {
        const nlohmann::json before = receiver.object();
        EXPECT_FALSE(receiver.set("k", 1));
        EXPECT_EQ(receiver.object(), before);
        EXPECT_EQ(receiver.count(), before.is_array() ? 1u : 0u);
    }
}

TEST(JSONSet, PathAssignment) {
    JSON doc = JSON::parse(R"({"a": {"b": [10, 20], "c": {}}})");
    EXPECT_TRUE(doc.set({"a", "c", "d"}, "new"));
    EXPECT_TRUE(doc.set({"a", "b", 1}, 21));
    EXPECT_EQ(bytes(doc), R"({"a":{"b":[10,21],"c":{"d":"new"}}})");

    // A path that does not lead to a container changes nothing, not even by adding a
    // null member under a missing first key.
    const std::string before = bytes(doc);
    EXPECT_FALSE(doc.set({"x", "y"}, 1));
    EXPECT_FALSE(doc.set({"a", "b", 2}, 1));
    EXPECT_FALSE(doc.set({"a", "b", -1}, 1));
    EXPECT_FALSE(doc.set({"a", "b", "k"}, 1));
    EXPECT_FALSE(doc.set({"a", "b", 0, "k"}, 1));
    EXPECT_FALSE(doc.set(JSONPath{}, 1));
    EXPECT_EQ(bytes(doc), before);
}

TEST(JSONSet, ValueOfAFailedSubscriptStoresNull) {
    JSON doc{{"a", 1}};
    doc.set("b", doc["missing"]);
    EXPECT_EQ(bytes(doc), R"({"a":1,"b":null})");
}

TEST(JSONValueSemantics, CopiesAreIndependent) {
    const JSON original = JSON::parse(R"({"inner": {"k": 1}, "list": [1]})");
    JSON copy = original;
    JSON inner = original["inner"];
    copy.set({"inner", "k"}, 2);
    inner.set("k", 3);
    EXPECT_EQ((original[{"inner", "k"}].integer()), 1);
    EXPECT_EQ((copy[{"inner", "k"}].integer()), 2);
    EXPECT_EQ(inner["k"].integer(), 3);

    // A member read before an assignment keeps the value it had.
    const JSON list = copy["list"];
    copy.set({"list", 0}, 9);
    EXPECT_EQ(list[0].integer(), 1);
    EXPECT_EQ((copy[{"list", 0}].integer()), 9);

    // Assigning a value into itself stores a snapshot.
    JSON self{{"a", 1}};
    self.set("copy", self);
    EXPECT_EQ(bytes(self), R"({"a":1,"copy":{"a":1}})");
}

TEST(JSONValueSemantics, SetObjectReplacesKindAndError) {
    JSON value = JSON::parse("{}")["missing"];
    ASSERT_TRUE(value.error());
    value.setObject(nlohmann::json::array({1}));
    EXPECT_EQ(value.type(), Type::array);
    EXPECT_FALSE(value.error());
}

TEST(JSONRawData, InvalidValuesFail) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const JSON invalid[] = {
        JSON("bare string"),
        JSON(7),
        JSON(true),
        JSON(),
        JSON::parse("[1]")[5],
        JSON{{"n", nan}},
        JSON{{"deep", JSON::Array{JSON{{"i", -inf}}}}},
    };
    for (const JSON& value : invalid) {
        const auto result = value.rawData();
        EXPECT_FALSE(result);
        EXPECT_FALSE(result.data);
        ASSERT_TRUE(result.error);
        EXPECT_EQ(*result.error, (JSONError{std::string(kJSONErrorDomain), ErrorInvalidJSON, "JSON is invalid"}));
    }
}

TEST(JSONRawData, SerialiserFailureIsPassedOn) {
    const auto result = JSON{{"name", "bad \xff utf-8"}}.rawData();
    EXPECT_FALSE(result);
    ASSERT_TRUE(result.error);
    EXPECT_NE(result.error->domain, kJSONErrorDomain);
    EXPECT_NE(result.error->code, ErrorInvalidJSON);
}

TEST(JSONRawData, RoundTripKeepsUnicodeAndEscapes) {
    const std::string text = R"({"s":"Kossuth t\u00e9r \"\\/\n","u":"ő"})";
    const JSON parsed = JSON::parse(text);
    EXPECT_EQ(parsed["s"].string(), "Kossuth tér \"\\/\n");
    EXPECT_EQ(bytes(parsed), R"({"s":"Kossuth tér \"\\/\n","u":"ő"})");
    EXPECT_EQ(bytes(JSON::parse(bytes(parsed))), bytes(parsed));
}

}  // namespace
}  // namespace velmo
