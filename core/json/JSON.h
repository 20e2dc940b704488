#pragma once
// JSON: the dynamic value through which request bodies are built and replies are read.
//
// A JSON wraps one node of a parsed tree (nlohmann::json, the "plain value") together with
// its kind and, for null and unknown values, the error record that says why. Reading never
// fails: subscripts turn every mismatch into a null value carrying an error, accessors into
// an absent optional or a default. Errors are values; no exception leaves this class.
//
// Value semantics: copying a JSON behaves as copying its contents. Internally values share
// an immutable tree and a subscript only points into it, so reading a member of a large
// reply costs no copy; the first write to a shared value copies the part it changes.
// Distinct JSON objects may be used from different threads; one object is not thread-safe.
//
// Names in C++ (some of the natural names are keywords):
//
//   kind / accessor        here
//   ---------------        ----
//   kind bool              Type::boolean
//   string                 string()
//   bool                   boolean()        (alias bool_())
//   number                 number()         (a JSONNumber: integer or floating, as parsed)
//   int                    integer()        (alias int_())
//   double                 double_()
//   array, dictionary      array(), dictionary()
//   json[path] = value     set(path, value)
//   JSON.null              JSON::null()     (also the default constructor)
//   JSON(data:options:)    JSON::parse(bytes, options)
//   object get / set       object() / setObject()
//
// Numbers: integers stay integers and floating numbers stay floating, as parsed. Converting
// to a 64-bit integer truncates toward zero; NaN gives 0 and values beyond the 64-bit range
// are clamped to its ends.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace velmo {

// The domain shared by every error record a JSON value carries.
inline constexpr std::string_view kJSONErrorDomain = "velmomac.JSON";

inline constexpr int ErrorUnsupportedType = 999;   // built from something that is not JSON
inline constexpr int ErrorIndexOutOfBounds = 900;  // index subscript outside the array
inline constexpr int ErrorWrongType = 901;         // index on a non-array, key on a non-dictionary
inline constexpr int ErrorNotExist = 500;          // key missing from the dictionary
inline constexpr int ErrorInvalidJSON = 490;       // rawData(): the value is not valid JSON

struct JSONError {
    std::string domain;
    int code = 0;
    std::string message;

    friend bool operator==(const JSONError&, const JSONError&) = default;
};
std::ostream& operator<<(std::ostream& out, const JSONError& error);

// A JSON number: a signed or unsigned 64-bit integer, or a double.
class JSONNumber {
public:
    JSONNumber() = default;  // integer 0
    template <std::signed_integral I>
    JSONNumber(I value) : v_(static_cast<std::int64_t>(value)) {}
    template <std::unsigned_integral I>
    requires(!std::same_as<I, bool>) JSONNumber(I value) : v_(static_cast<std::uint64_t>(value)) {}
    template <std::floating_point F>
    JSONNumber(F value) : v_(static_cast<double>(value)) {}

    bool isFloating() const { return std::holds_alternative<double>(v_); }
    bool isInteger() const { return !isFloating(); }

    // Truncated toward zero; NaN gives 0, out-of-range values clamp to the int64 ends.
    std::int64_t toInt64() const;
    double toDouble() const;
    // Integers in decimal; floating numbers in the shortest text that reads back the same
    // value, without a fraction when the value is whole ("20", "12.5", "1e+21").
    std::string text() const;
    // The node this number is stored as in a plain value.
    nlohmann::json plain() const;

    // Numeric equality: 20 equals 20.0. Two integers compare exactly.
    friend bool operator==(const JSONNumber& a, const JSONNumber& b);

    // Reads a whole decimal number (optional sign, fraction, exponent, surrounding white
    // space). Anything else, or a number too large for a double, gives nothing.
    static std::optional<JSONNumber> fromText(std::string_view text);

private:
    std::variant<std::int64_t, std::uint64_t, double> v_{std::int64_t{0}};
};
std::ostream& operator<<(std::ostream& out, const JSONNumber& number);

// One step of a path: an array index or a dictionary key.
class JSONPathItem {
public:
    template <std::integral I>
    requires(!std::same_as<I, bool>) JSONPathItem(I index) : step_(saturate(index)) {}
    JSONPathItem(const char* key) : step_(std::string(key)) {}
    JSONPathItem(std::string_view key) : step_(std::string(key)) {}
    JSONPathItem(std::string key) : step_(std::move(key)) {}

    bool isIndex() const { return std::holds_alternative<std::int64_t>(step_); }
    std::int64_t index() const { return std::get<std::int64_t>(step_); }
    const std::string& key() const { return std::get<std::string>(step_); }

    // Indexes beyond int64 cannot address any array; they stay out of bounds.
    template <std::integral I>
    static std::int64_t saturate(I index) {
        if constexpr (std::is_unsigned_v<I>) {
            if (index > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()))
                return std::numeric_limits<std::int64_t>::max();
        }
        return static_cast<std::int64_t>(index);
    }

private:
    std::variant<std::int64_t, std::string> step_;
};
using JSONPath = std::vector<JSONPathItem>;

struct JSONReadingOptions {
    // Accept a bare string, number, boolean or null as the whole document.
    bool allowFragments = false;
};
struct JSONWritingOptions {
    // Indent by two spaces and break lines; otherwise the output is compact.
    bool prettyPrinted = false;
};

class JSON {
public:
    enum class Type : int {
        number = 0,
        string = 1,
        boolean = 2,
        array = 3,
        dictionary = 4,
        null = 5,
        unknown = 6,
    };

    using ReadingOptions = JSONReadingOptions;
    using WritingOptions = JSONWritingOptions;
    // The result of rawData(): the bytes, or the error that prevented them.
    struct RawData {
        std::optional<std::string> data;
        std::optional<JSONError> error;
        explicit operator bool() const { return data.has_value(); }
    };

    using Array = std::vector<JSON>;
    using Dictionary = std::map<std::string, JSON>;

    // --- Construction ---------------------------------------------------------------

    JSON();  // null, no error
    static JSON null() { return JSON(); }

    // Parses bytes; bad bytes (or a bare scalar without allowFragments, or nesting deeper
    // than kMaxNesting) give null with no error. The nesting limit exists because copying,
    // comparing and serialising a tree recurse once per level: a hostile body must not be
    // able to exhaust the stack.
    static JSON parse(std::string_view bytes, ReadingOptions options = {});
    static JSON parse(std::span<const std::uint8_t> bytes, ReadingOptions options = {});
    static constexpr int kMaxNesting = 512;

    // Wraps a plain value: binary or discarded nodes become kind unknown with error 999.
    explicit JSON(nlohmann::json plain);

    JSON(std::nullptr_t) : JSON() {}
    JSON(bool flag);
    JSON(const char* text);
    JSON(std::string text);
    JSON(std::string_view text);
    template <std::integral I>
    requires(!std::same_as<I, bool>) JSON(I number) : JSON(JSONNumber(number)) {}
    JSON(double number);
    // Stored as the double with the float's shortest decimal text (47.123f -> 47.123), so
    // that a 32-bit coordinate serialises as the number it was written as.
    JSON(float number);
    JSON(JSONNumber number);
    JSON(const Array& elements);
    JSON(const Dictionary& members);
    // A dictionary literal: JSON{{"lat", 47.5}, {"radius", 500}}.
    JSON(std::initializer_list<std::pair<const std::string, JSON>> members);

    // --- Reading --------------------------------------------------------------------

    Type type() const { return type_; }
    // Why this value is null or unknown; absent otherwise.
    const std::optional<JSONError>& error() const { return error_; }

    // The plain value for the kind; the null marker for null and unknown.
    nlohmann::json object() const;
    // Replaces the contents by a plain value, classified as by JSON(nlohmann::json).
    void setObject(nlohmann::json plain);

    // Subscripts never fail; a failed step gives null with an error, and a step on a value
    // that already carries an error passes that error on.
    template <std::integral I>
    requires(!std::same_as<I, bool>) JSON operator[](I index) const { return element(JSONPathItem::saturate(index)); }
    JSON operator[](const char* key) const { return member(key); }
    JSON operator[](std::string_view key) const { return member(key); }
    // A path applied step by step: json[{"a", "b", 1}]. An empty path gives the receiver.
    JSON operator[](std::initializer_list<JSONPathItem> path) const;
    JSON operator[](std::span<const JSONPathItem> path) const;
    JSON operator[](const JSONPath& path) const { return (*this)[std::span(path)]; }

    // Optional accessors: absent when the kind does not fit (kind bool counts as 1 or 0 for
    // number(), integer() and double_()).
    std::optional<std::string> string() const;
    std::optional<bool> boolean() const;
    std::optional<bool> bool_() const { return boolean(); }
    std::optional<JSONNumber> number() const;
    std::optional<std::int64_t> integer() const;
    std::optional<std::int64_t> int_() const { return integer(); }
    std::optional<double> double_() const;
    std::optional<Array> array() const;
    std::optional<Dictionary> dictionary() const;

    // Defaulted accessors: never fail.
    // Number: its text; string: the text; bool: "true"/"false"; else "".
    std::string stringValue() const;
    // Number: != 0; string: equals "true" ignoring case; bool: the flag; else false.
    bool boolValue() const;
    // Number: itself; string: the text read as a decimal number, else 0; bool: 1/0; else 0.0.
    JSONNumber numberValue() const;
    std::int64_t intValue() const { return numberValue().toInt64(); }
    double doubleValue() const { return numberValue().toDouble(); }
    Array arrayValue() const { return array().value_or(Array{}); }
    Dictionary dictionaryValue() const { return dictionary().value_or(Dictionary{}); }

    // Elements of an array or members of a dictionary; 0 for every other kind.
    std::size_t count() const;
    bool isEmpty() const { return count() == 0; }

    // --- Writing --------------------------------------------------------------------

    // Stores value's plain value at the end of a path of keys (or in-range indexes). Each
    // step before the last must reach an existing dictionary member or array element, and
    // the last must name a key of a dictionary or an index inside an array; otherwise
    // nothing changes. An empty path changes nothing. Returns whether the value was stored.
    bool set(std::string_view key, JSON value);
    bool set(std::initializer_list<JSONPathItem> path, JSON value);
    bool set(std::span<const JSONPathItem> path, JSON value);
    bool set(const JSONPath& path, JSON value) { return set(std::span(path), std::move(value)); }

    // --- Serialisation --------------------------------------------------------------

    // The serialiser's bytes (compact UTF-8 by default). Fails with ErrorInvalidJSON
    // ("JSON is invalid") when the top level is not an array or dictionary, or the tree
    // holds NaN, an infinite number or a non-JSON node; a serialiser failure (such as a
    // string that is not UTF-8) is passed on with its own domain and code.
    RawData rawData(WritingOptions options = {}) const;

    // --- Iteration ------------------------------------------------------------------

    // for (const auto& [key, value] : json): dictionary members in key order, array elements
    // with their index as decimal text; nothing for every other kind.
    class const_iterator {
    public:
        using value_type = std::pair<std::string, JSON>;
        using difference_type = std::ptrdiff_t;
        using iterator_category = std::input_iterator_tag;
        using reference = value_type;
        using pointer = void;

        const_iterator() = default;
        value_type operator*() const;
        const_iterator& operator++();
        const_iterator operator++(int);
        friend bool operator==(const const_iterator& a, const const_iterator& b);

    private:
        friend class JSON;
        const_iterator(std::shared_ptr<nlohmann::json> root, const nlohmann::json* container,
                       nlohmann::json::const_iterator it);

        std::shared_ptr<nlohmann::json> root_;       // keeps the iterated tree alive
        const nlohmann::json* container_ = nullptr;  // null only when default-constructed
        nlohmann::json::const_iterator it_;
        std::size_t index_ = 0;
    };
    const_iterator begin() const;
    const_iterator end() const;

private:
    // A view of node inside the tree that root keeps alive.
    JSON(std::shared_ptr<nlohmann::json> root, const nlohmann::json* node);
    static JSON failure(JSONError error);

    JSON element(std::int64_t index) const;
    JSON member(std::string_view key) const;
    JSON wrap(const nlohmann::json& child) const { return JSON(root_, &child); }
    void classify();
    // The node as a tree this value alone owns, copied first when it is shared.
    nlohmann::json& ownNode();
    // The plain value for storing elsewhere; moved out when nothing else shares it.
    nlohmann::json takeObject() &&;
    const nlohmann::json& node() const { return *node_; }

    std::shared_ptr<nlohmann::json> root_;  // null for values that hold no tree
    const nlohmann::json* node_;            // never null: a shared null node when no tree
    Type type_ = Type::null;
    std::optional<JSONError> error_;
};

std::ostream& operator<<(std::ostream& out, JSON::Type type);

}  // namespace velmo
