#include "core/json/JSONParser.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <system_error>

namespace velmo {

namespace {

using nlohmann::json;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Whether a well-formed number that no double can hold is tiny (it reads as zero, as the
// C library's strtod would give) rather than huge (an error). Judged by the decimal
// exponent of its first significant digit.
bool underflows(const char* first, const char* last) {
    const char* p = first;
    if (*p == '-')
        ++p;
    const char* integerStart = p;
    while (p != last && isDigit(*p))
        ++p;
    long long exponent = 0;
    if (!(p - integerStart == 1 && *integerStart == '0')) {
        exponent = (p - integerStart) - 1;
    } else {
        exponent = -1;
        if (p != last && *p == '.') {
            ++p;
            while (p != last && *p == '0') {
                ++p;
                --exponent;
            }
        }
    }
    while (p != last && *p != 'e' && *p != 'E')
        ++p;
    if (p != last) {
        ++p;
        const bool negative = *p == '-';
        if (*p == '+' || *p == '-')
            ++p;
        long long written = 0;
        for (; p != last; ++p)
            if (written < 1'000'000'000)
                written = written * 10 + (*p - '0');
        exponent += negative ? -written : written;
    }
    return exponent < 0;
}

class Reader {
public:
    Reader(std::string_view bytes, int maxNesting)
        : p_(bytes.data()), end_(bytes.data() + bytes.size()), maxNesting_(maxNesting) {}

    std::optional<json> document() {
        if (end_ - p_ >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0)
            p_ += 3;
        json root;
        if (!value(root, 0))
            return std::nullopt;
        skipSpace();
        if (p_ != end_)
            return std::nullopt;
        return root;
    }

private:
    void skipSpace() {
        while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
            ++p_;
    }

    bool value(json& out, int depth) {
        skipSpace();
        if (p_ == end_)
            return false;
        switch (*p_) {
        case '{':
            return object(out, depth + 1);
        case '[':
            return array(out, depth + 1);
        case '"': {
            std::string text;
            if (!string(text))
                return false;
            out = std::move(text);
            return true;
        }
        case 't':
            return literal("true", out, json(true));
        case 'f':
            return literal("false", out, json(false));
        case 'n':
            return literal("null", out, json(nullptr));
        default:
            return number(out);
        }
    }

    bool literal(std::string_view word, json& out, json literalValue) {
        if (static_cast<std::size_t>(end_ - p_) < word.size() ||
            std::string_view(p_, word.size()) != word)
            return false;
        p_ += word.size();
        out = std::move(literalValue);
        return true;
    }

    bool object(json& out, int depth) {
        if (depth > maxNesting_)
            return false;
        ++p_; // '{'
        out = json::object();
        auto& members = *out.get_ptr<json::object_t*>();
        skipSpace();
        if (p_ != end_ && *p_ == '}') {
            ++p_;
            return true;
        }
        for (;;) {
            skipSpace();
            if (p_ == end_ || *p_ != '"')
                return false;
            std::string key;
            if (!string(key))
                return false;
            skipSpace();
            if (p_ == end_ || *p_ != ':')
                return false;
            ++p_;
            json member;
            if (!value(member, depth))
                return false;
            members.insert_or_assign(std::move(key), std::move(member));
            skipSpace();
            if (p_ == end_)
                return false;
            if (*p_ == '}') {
                ++p_;
                return true;
            }
            if (*p_ != ',')
                return false;
            ++p_;
        }
    }

    bool array(json& out, int depth) {
        if (depth > maxNesting_)
            return false;
        ++p_; // '['
        out = json::array();
        auto& elements = *out.get_ptr<json::array_t*>();
        skipSpace();
        if (p_ != end_ && *p_ == ']') {
            ++p_;
            return true;
        }
        for (;;) {
            elements.emplace_back();
            if (!value(elements.back(), depth))
                return false;
            skipSpace();
            if (p_ == end_)
                return false;
            if (*p_ == ']') {
                ++p_;
                return true;
            }
            if (*p_ != ',')
                return false;
            ++p_;
        }
    }

    bool string(std::string& out) {
        ++p_; // opening quote
        for (;;) {
            const char* run = p_;
            while (p_ != end_) {
                const auto c = static_cast<unsigned char>(*p_);
                if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80)
                    break;
                ++p_;
            }
            out.append(run, p_);
            if (p_ == end_)
                return false;
            const auto c = static_cast<unsigned char>(*p_);
            if (c == '"') {
                ++p_;
                return true;
            }
            if (c == '\\') {
                if (!escape(out))
                    return false;
            } else if (c < 0x20) {
                return false; // control characters must be escaped
            } else if (!utf8(out)) {
                return false;
            }
        }
    }

    // One well-formed UTF-8 sequence of two to four bytes (no overlong forms, no
    // surrogates, nothing beyond U+10FFFF).
    bool utf8(std::string& out) {
        const auto* s = reinterpret_cast<const unsigned char*>(p_);
        const auto available = static_cast<std::size_t>(end_ - p_);
        const unsigned char lead = s[0];
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead == 0xE0) {
            length = 3;
            low = 0xA0;
        } else if ((lead >= 0xE1 && lead <= 0xEC) || lead == 0xEE || lead == 0xEF) {
            length = 3;
        } else if (lead == 0xED) {
            length = 3;
            high = 0x9F;
        } else if (lead == 0xF0) {
            length = 4;
            low = 0x90;
        } else if (lead >= 0xF1 && lead <= 0xF3) {
            length = 4;
        } else if (lead == 0xF4) {
            length = 4;
            high = 0x8F;
        } else {
            return false;
        }
        if (available < length || s[1] < low || s[1] > high)
            return false;
        for (std::size_t i = 2; i < length; ++i)
            if (s[i] < 0x80 || s[i] > 0xBF)
                return false;
        out.append(p_, length);
        p_ += length;
        return true;
    }

    // Four hex digits as a code unit, or -1.
    long hex4() {
        if (end_ - p_ < 4)
            return -1;
        long unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p_++;
            unit <<= 4;
            if (isDigit(c))
                unit |= c - '0';
            else if (c >= 'a' && c <= 'f')
                unit |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F')
                unit |= c - 'A' + 10;
            else
                return -1;
        }
        return unit;
    }

    bool escape(std::string& out) {
        ++p_; // backslash
        if (p_ == end_)
            return false;
        switch (*p_++) {
        case '"':
            out += '"';
            return true;
        case '\\':
            out += '\\';
            return true;
        case '/':
            out += '/';
            return true;
        case 'b':
            out += '\b';
            return true;
        case 'f':
            out += '\f';
            return true;
        case 'n':
            out += '\n';
            return true;
        case 'r':
            out += '\r';
            return true;
        case 't':
            out += '\t';
            return true;
        case 'u': {
            long unit = hex4();
            if (unit < 0 || (unit >= 0xDC00 && unit <= 0xDFFF))
                return false;
            if (unit >= 0xD800 && unit <= 0xDBFF) {
                // A high surrogate counts only with the low one right after it.
                if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u')
                    return false;
                p_ += 2;
                const long lowUnit = hex4();
                if (lowUnit < 0xDC00 || lowUnit > 0xDFFF)
                    return false;
                unit = 0x10000 + ((unit - 0xD800) << 10) + (lowUnit - 0xDC00);
            }
            appendUtf8(out, static_cast<std::uint32_t>(unit));
            return true;
        }
        default:
            return false;
        }
    }

    bool number(json& out) {
        const char* start = p_;
        const bool negative = *p_ == '-';
        if (negative)
            ++p_;
        if (p_ == end_)
            return false;
        if (*p_ == '0') {
            ++p_;
        } else if (*p_ >= '1' && *p_ <= '9') {
            while (p_ != end_ && isDigit(*p_))
                ++p_;
        } else {
            return false;
        }
        bool integral = true;
        if (p_ != end_ && *p_ == '.') {
            integral = false;
            ++p_;
            if (p_ == end_ || !isDigit(*p_))
                return false;
            while (p_ != end_ && isDigit(*p_))
                ++p_;
        }
        if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
            integral = false;
            ++p_;
            if (p_ != end_ && (*p_ == '+' || *p_ == '-'))
                ++p_;
            if (p_ == end_ || !isDigit(*p_))
                return false;
            while (p_ != end_ && isDigit(*p_))
                ++p_;
        }
        if (integral) {
            if (negative) {
                std::int64_t signedValue = 0;
                if (std::from_chars(start, p_, signedValue).ec == std::errc{}) {
                    out = signedValue;
                    return true;
                }
            } else {
                std::uint64_t unsignedValue = 0;
                if (std::from_chars(start, p_, unsignedValue).ec == std::errc{}) {
                    out = unsignedValue;
                    return true;
                }
            }
            // Beyond 64 bits: read as a double below.
        }
        double floating = 0;
        const auto result = std::from_chars(start, p_, floating);
        if (result.ec == std::errc{}) {
            out = floating;
            return true;
        }
        if (result.ec == std::errc::result_out_of_range && underflows(start, p_)) {
            out = negative ? -0.0 : 0.0;
            return true;
        }
        return false;
    }

    const char* p_;
    const char* end_;
    int maxNesting_;
};

} // namespace

std::optional<nlohmann::json> parseJSONDocument(std::string_view bytes, int maxNesting) {
    return Reader(bytes, maxNesting).document();
}

} // namespace velmo
