#pragma once
// Numbers as text, the same way everywhere: decimal text read whatever the process locale,
// and the shortest text that reads back as the same number. Plain C++ with no dependencies,
// so the client, its tools and the server can share it.

#include <optional>
#include <string>
#include <string_view>

namespace velmo {

struct DecimalNumber {
    // The nearest double; ±HUGE_VAL when the number overflows, 0 or a subnormal when it
    // underflows (as strtod gives them).
    double value = 0.0;
    // False when a non-zero number overflowed to infinity or underflowed to zero.
    bool inRange = true;
    // Only a sign and digits: no point, no exponent.
    bool integral = false;
};

enum class DecimalForm {
    fixed,
    withExponent
};

// Reads all of `text` as a decimal number: an optional sign, digits with an optional point
// (at least one digit in all) and, with DecimalForm::withExponent, an optional exponent.
// Absent for anything else: white space, hex, "inf", "nan", trailing text.
std::optional<DecimalNumber> readDecimal(std::string_view text, DecimalForm form = DecimalForm::withExponent);

// The shortest text that reads back as `value` ("47.123", "1e+20", "inf", "nan").
std::string shortestText(double value);
std::string shortestText(float value);

// The double nearest to the float's shortest text, so 47.123f becomes 47.123 and not
// 47.12300109863281; non-finite values are kept as they are.
double widenAsWritten(float value);

}  // namespace velmo
