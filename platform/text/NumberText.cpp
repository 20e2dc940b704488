#include "platform/text/NumberText.h"

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace velmo {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The C locale, so that a program that set its own locale (a decimal comma) still reads "3.5".
locale_t cLocale() {
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

template <typename Number>
std::string shortest(Number value) {
    char buffer[64];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, written.ptr);
}

}  // namespace

std::optional<DecimalNumber> readDecimal(std::string_view text, DecimalForm form) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    bool nonZero = false;
    bool point = false;
    for (; i < text.size(); ++i) {
        if (isDigit(text[i])) {
            ++digits;
            nonZero = nonZero || text[i] != '0';
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            break;
        }
    }
    if (digits == 0) {
        return std::nullopt;
    }
    bool exponent = false;
    if (form == DecimalForm::withExponent && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        exponent = true;
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            ++i;
        }
        std::size_t exponentDigits = 0;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0) {
            return std::nullopt;
        }
    }
    if (i != text.size()) {
        return std::nullopt;
    }
    // strtod_l needs a terminated string; the grammar above guarantees it reads all of it.
    const std::string terminated(text);
    DecimalNumber number;
    number.value = strtod_l(terminated.c_str(), nullptr, cLocale());
    number.inRange = std::isfinite(number.value) && !(number.value == 0.0 && nonZero);
    number.integral = !point && !exponent;
    return number;
}

std::string shortestText(double value) { return shortest(value); }

std::string shortestText(float value) { return shortest(value); }

double widenAsWritten(float value) {
    if (!std::isfinite(value)) {
        return static_cast<double>(value);
    }
    const std::string text = shortestText(value);
    return readDecimal(text).value_or(DecimalNumber{static_cast<double>(value)}).value;
}

}  // namespace velmo
