#include "platform/defaults/PlistValue.h"

#include "platform/text/NumberText.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace velmo {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A double converted toward zero; NaN and values outside the 64-bit range give 0.
int64_t truncateToInteger(double d) {
    // -2^63 is exactly representable; 2^63 is the first value that no longer fits.
    constexpr double lowest = -9223372036854775808.0;
    constexpr double pastHighest = 9223372036854775808.0;
    if (!(d >= lowest && d < pastHighest)) {
        return 0;
    }
    return static_cast<int64_t>(d);
}

struct NumericString {
    double value = 0.0;
    // Set when the text is a plain integer that fits in 64 bits: kept exact, beyond a double's
    // 53-bit precision.
    std::optional<int64_t> integer;
};

// Parses a whole decimal number with optional sign, fraction and exponent, allowing white
// space around it; anything else (hex, "inf", "nan", trailing text) is not a number.
std::optional<NumericString> parseNumericString(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && isSpace(text[end - 1])) {
        --end;
    }
    const std::string_view number = text.substr(begin, end - begin);
    const std::optional<DecimalNumber> decimal = readDecimal(number);
    if (!decimal) {
        return std::nullopt;
    }
    // Overflow gives ±HUGE_VAL, underflow ±0 or a subnormal.
    NumericString result;
    result.value = decimal->value;
    if (decimal->integral) {
        // from_chars does not take a leading '+'.
        const char* first = number.data();
        const char* last = first + number.size();
        if (*first == '+') {
            ++first;
        }
        int64_t exact = 0;
        const auto [ptr, ec] = std::from_chars(first, last, exact);
        if (ec == std::errc() && ptr == last) {
            result.integer = exact;
        }
    }
    return result;
}

}  // namespace

bool PlistValue::toBool() const {
    switch (kind()) {
        case Kind::Bool: return *ifBool();
        case Kind::Integer: return *ifInteger() != 0;
        case Kind::Float: return *ifFloat() != 0.0F;
        case Kind::Double: return *ifDouble() != 0.0;
        case Kind::String:
            if (const auto number = parseNumericString(*ifString())) {
                return number->integer ? *number->integer != 0 : number->value != 0.0;
            }
            return false;
        case Kind::Null:
        case Kind::List:
        case Kind::Map: break;
    }
    return false;
}

int64_t PlistValue::toInteger() const {
    switch (kind()) {
        case Kind::Bool: return *ifBool() ? 1 : 0;
        case Kind::Integer: return *ifInteger();
        case Kind::Float: return truncateToInteger(static_cast<double>(*ifFloat()));
        case Kind::Double: return truncateToInteger(*ifDouble());
        case Kind::String:
            if (const auto number = parseNumericString(*ifString())) {
                return number->integer ? *number->integer : truncateToInteger(number->value);
            }
            return 0;
        case Kind::Null:
        case Kind::List:
        case Kind::Map: break;
    }
    return 0;
}

double PlistValue::toDouble() const {
    switch (kind()) {
        case Kind::Bool: return *ifBool() ? 1.0 : 0.0;
        case Kind::Integer: return static_cast<double>(*ifInteger());
        case Kind::Float: return static_cast<double>(*ifFloat());
        case Kind::Double: return *ifDouble();
        case Kind::String:
            if (const auto number = parseNumericString(*ifString())) {
                return number->value;
            }
            return 0.0;
        case Kind::Null:
        case Kind::List:
        case Kind::Map: break;
    }
    return 0.0;
}

float PlistValue::toFloat() const {
    if (const float* f = ifFloat()) {
        return *f;
    }
    if (const int64_t* i = ifInteger()) {
        return static_cast<float>(*i);  // one rounding, not two through double
    }
    // IEEE 754 narrowing (Annex F): out-of-range values become ±infinity, NaN stays NaN.
    return static_cast<float>(toDouble());
}

std::optional<std::string> PlistValue::toString() const {
    if (const std::string* s = ifString()) {
        return *s;
    }
    return std::nullopt;
}

const char* PlistValue::kindName(Kind kind) {
    switch (kind) {
        case Kind::Null: return "null";
        case Kind::Bool: return "bool";
        case Kind::Integer: return "int";
        case Kind::Float: return "float";
        case Kind::Double: return "double";
        case Kind::String: return "string";
        case Kind::List: return "list";
        case Kind::Map: return "map";
    }
    return "null";
}

}  // namespace velmo
