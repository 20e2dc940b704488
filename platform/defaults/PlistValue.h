#pragma once
// The property-list value that a defaults suite stores and that the core passes around:
// null, bool, 64-bit integer, 32-bit float, double, string, list or string-keyed map.
//
// Typed readers convert the way the platform's user defaults do:
//
//   stored kind        toBool            toInteger                 toFloat / toDouble
//   -----------        ------            ---------                 ------------------
//   absent / null      false             0                         0.0
//   bool               the flag          1 or 0                    1.0 or 0.0
//   integer            value != 0        the value                 the value
//   float, double      value != 0        truncated toward zero     the value (float narrows)
//                                        (NaN and out of range: 0)
//   numeric string     number != 0       the number, truncated     the number
//   ("12", " -3.5 ")
//   other string       false             0                         0.0
//   list, map          false             0                         0.0
//
// A numeric string is a whole decimal number, optionally signed, with optional fraction
// and exponent, and optional surrounding white space; nothing else counts.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace velmo {

class PlistValue;
using PlistList = std::vector<PlistValue>;
using PlistMap = std::map<std::string, PlistValue>;

class PlistValue {
public:
    enum class Kind {
        Null,
        Bool,
        Integer,
        Float,
        Double,
        String,
        List,
        Map
    };

    PlistValue() = default;
    PlistValue(std::nullptr_t) {}
    PlistValue(bool b) : v_(b) {}
    PlistValue(int i) : v_(static_cast<int64_t>(i)) {}
    PlistValue(int64_t i) : v_(i) {}
    PlistValue(float f) : v_(f) {}
    PlistValue(double d) : v_(d) {}
    PlistValue(const char* s) : v_(std::string(s)) {}
    PlistValue(std::string s) : v_(std::move(s)) {}
    PlistValue(PlistList l) : v_(std::move(l)) {}
    PlistValue(PlistMap m) : v_(std::move(m)) {}

    Kind kind() const { return static_cast<Kind>(v_.index()); }
    bool isNull() const { return kind() == Kind::Null; }
    bool isNumber() const { return kind() == Kind::Integer || kind() == Kind::Float || kind() == Kind::Double; }

    // Exact-kind access: the stored value when the kind matches, else nullptr.
    const bool* ifBool() const { return std::get_if<bool>(&v_); }
    const int64_t* ifInteger() const { return std::get_if<int64_t>(&v_); }
    const float* ifFloat() const { return std::get_if<float>(&v_); }
    const double* ifDouble() const { return std::get_if<double>(&v_); }
    const std::string* ifString() const { return std::get_if<std::string>(&v_); }
    const PlistList* ifList() const { return std::get_if<PlistList>(&v_); }
    const PlistMap* ifMap() const { return std::get_if<PlistMap>(&v_); }
    PlistList* ifList() { return std::get_if<PlistList>(&v_); }
    PlistMap* ifMap() { return std::get_if<PlistMap>(&v_); }

    // Typed readers by the conversion table above; they never fail.
    bool toBool() const;
    int64_t toInteger() const;
    float toFloat() const;
    double toDouble() const;
    // The text of a string value; absent for every other kind (no conversion).
    std::optional<std::string> toString() const;

    // The kind's name as tools show it: "null", "bool", "int", "float", "double",
    // "string", "list", "map".
    static const char* kindName(Kind kind);

    // Equal when kind and content are equal (1 and 1.0 of different kinds are not).
    friend bool operator==(const PlistValue&, const PlistValue&) = default;

private:
    std::variant<std::monostate, bool, int64_t, float, double, std::string, PlistList, PlistMap> v_;
};

}  // namespace velmo
