#include "server/api/JsonText.h"

#include <nlohmann/json.hpp>

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace velmo::api::json_text {

namespace {

// The length of the well-formed UTF-8 sequence that starts at `p` with a byte >= 0x80 (no
// overlong forms, no surrogates, at most U+10FFFF); 0 when it is broken.
std::size_t sequenceLength(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = *p;
    auto cont = [&](std::ptrdiff_t i) { return p + i < end && (p[i] & 0xC0) == 0x80; };
    if (c >= 0xC2 && c <= 0xDF) {
        return cont(1) ? 2 : 0;
    }
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2) || (c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F)) {
            return 0;
        }
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3) || (c == 0xF0 && p[1] < 0x90) || (c == 0xF4 && p[1] > 0x8F)) {
            return 0;
        }
        return 4;
    }
    return 0;
}

// Whether any of eight bytes needs a look: below 0x20, '"', '\\' or above 0x7F.
bool anySpecial(std::uint64_t v) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    const auto zeroByte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    return ((v | (v - 0x20 * kOnes) | zeroByte(v ^ ('"' * kOnes)) | zeroByte(v ^ ('\\' * kOnes))) & kHigh) != 0;
}

constexpr char kHex[] = "0123456789abcdef";

}  // namespace

char* writeString(char* out, std::string_view text) {
    char* const start = out;
    *out++ = '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* const end = p + text.size();
    const auto* plain = p;  // start of the run not yet copied
    const auto copyPlain = [&] {
        if (p != plain) {  // an empty view may have no data at all, which memcpy must not get
            std::memcpy(out, plain, static_cast<std::size_t>(p - plain));
            out += p - plain;
        }
    };
    while (p < end) {
        if (end - p >= 8) {  // most text is plain ASCII: eight bytes at a time
            std::uint64_t v = 0;
            std::memcpy(&v, p, sizeof v);
            if (!anySpecial(v)) {
                p += 8;
                continue;
            }
        }
        const unsigned char c = *p;
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++p;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t n = sequenceLength(p, end);
            if (n == 0) {
                // Rare (the feed's own bytes): let the library do its replacement, which
                // takes at most three bytes for one.
                const std::string replaced =
                    nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                std::memcpy(start, replaced.data(), replaced.size());
                return start + replaced.size();
            }
            p += n;
            continue;
        }
        copyPlain();
        *out++ = '\\';
        switch (c) {
            case '"': *out++ = '"'; break;
            case '\\': *out++ = '\\'; break;
            case '\b': *out++ = 'b'; break;
            case '\t': *out++ = 't'; break;
            case '\n': *out++ = 'n'; break;
            case '\f': *out++ = 'f'; break;
            case '\r': *out++ = 'r'; break;
            default:
                *out++ = 'u';
                *out++ = '0';
                *out++ = '0';
                *out++ = kHex[c >> 4];
                *out++ = kHex[c & 0xF];
        }
        plain = ++p;
    }
    copyPlain();
    *out++ = '"';
    return out;
}

void appendString(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + maxStringBytes(text.size()));
    out.resize(static_cast<std::size_t>(writeString(out.data() + at, text) - out.data()));
}

void appendDouble(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Shortest round-trip digits and exponent: "d.ddde+XX".
    std::array<char, 32> sci{};
    const auto r = std::to_chars(sci.data(), sci.data() + sci.size(), value, std::chars_format::scientific);
    const char* p = sci.data();
    if (*p == '-') {
        out += '-';
        ++p;
    }
    std::array<char, 24> digits{};
    int k = 0;  // digit count
    for (; p < r.ptr && *p != 'e'; ++p) {
        if (*p != '.') {
            digits[static_cast<std::size_t>(k++)] = *p;
        }
    }
    int exponent = 0;
    std::from_chars(*(p + 1) == '+' ? p + 2 : p + 1, r.ptr, exponent);
    // Laid out like printf("%.*g"): fixed for exponents -5 < e < 15, else scientific.
    const int n = exponent + 1;  // position of the decimal point within the digits
    constexpr int kMinExp = -4;
    constexpr int kMaxExp = 15;
    const std::string_view ds(digits.data(), static_cast<std::size_t>(k));
    if (k <= n && n <= kMaxExp) {
        out += ds;
        out.append(static_cast<std::size_t>(n - k), '0');
        out += ".0";
    } else if (0 < n && n <= kMaxExp) {
        out += ds.substr(0, static_cast<std::size_t>(n));
        out += '.';
        out += ds.substr(static_cast<std::size_t>(n));
    } else if (kMinExp < n && n <= 0) {
        out += "0.";
        out.append(static_cast<std::size_t>(-n), '0');
        out += ds;
    } else {
        out += ds.substr(0, 1);
        if (k > 1) {
            out += '.';
            out += ds.substr(1);
        }
        const int e = n - 1;
        out += e < 0 ? "e-" : "e+";
        const int a = e < 0 ? -e : e;
        if (a < 10) {
            out += '0';
        }
        appendInt(out, a);
    }
}

char* writeInt(char* out, std::int64_t value) { return std::to_chars(out, out + kMaxIntBytes, value).ptr; }

void appendInt(std::string& out, std::int64_t value) {
    std::array<char, kMaxIntBytes> buf{};
    out.append(buf.data(), writeInt(buf.data(), value));
}

}  // namespace velmo::api::json_text
