#include "platform/defaults/PlistCodec.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>

namespace velmo {

namespace {

using Json = nlohmann::json;

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            codePoint = c & 0x1FU;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            codePoint = c & 0x0FU;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            codePoint = c & 0x07U;
        } else {
            return false;
        }
        if (i + length > s.size()) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(s[i + k]);
            if ((next & 0xC0U) != 0x80U) {
                return false;
            }
            codePoint = (codePoint << 6U) | (next & 0x3FU);
        }
        const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
        if (overlong || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

std::string toHex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        hex += digits[b >> 4U];
        hex += digits[b & 0x0FU];
    }
    return hex;
}

std::optional<std::string> fromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        return -1;
    };
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]);
        const int low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        bytes += static_cast<char>((high << 4) | low);
    }
    return bytes;
}

Json encodeReal(double d) {
    if (std::isnan(d)) {
        return "nan";
    }
    if (std::isinf(d)) {
        return d > 0 ? "inf" : "-inf";
    }
    return d;
}

std::optional<double> decodeReal(const Json& j) {
    if (j.is_number()) {
        return j.get<double>();
    }
    if (j.is_string()) {
        const auto& s = j.get_ref<const std::string&>();
        if (s == "nan") {
            return std::numeric_limits<double>::quiet_NaN();
        }
        if (s == "inf") {
            return std::numeric_limits<double>::infinity();
        }
        if (s == "-inf") {
            return -std::numeric_limits<double>::infinity();
        }
    }
    return std::nullopt;
}

Json encode(const PlistValue& value) {
    switch (value.kind()) {
        case PlistValue::Kind::Null: return nullptr;
        case PlistValue::Kind::Bool: return Json{{"bool", *value.ifBool()}};
        case PlistValue::Kind::Integer: return Json{{"int", *value.ifInteger()}};
        case PlistValue::Kind::Float: return Json{{"float", encodeReal(static_cast<double>(*value.ifFloat()))}};
        case PlistValue::Kind::Double: return Json{{"double", encodeReal(*value.ifDouble())}};
        case PlistValue::Kind::String: {
            const std::string& s = *value.ifString();
            if (isValidUtf8(s)) {
                return Json{{"string", s}};
            }
            return Json{{"bytes", toHex(s)}};
        }
        case PlistValue::Kind::List: {
            Json items = Json::array();
            for (const PlistValue& item : *value.ifList()) {
                items.push_back(encode(item));
            }
            return Json{{"list", std::move(items)}};
        }
        case PlistValue::Kind::Map: {
            const PlistMap& map = *value.ifMap();
            bool keysAreText = true;
            for (const auto& [key, item] : map) {
                keysAreText = keysAreText && isValidUtf8(key);
            }
            Json entries = Json::object();
            for (const auto& [key, item] : map) {
                entries[keysAreText ? key : toHex(key)] = encode(item);
            }
            return Json{{keysAreText ? "map" : "maphex", std::move(entries)}};
        }
    }
    return nullptr;
}

std::optional<PlistValue> decode(const Json& j) {
    if (j.is_null()) {
        return PlistValue();
    }
    if (!j.is_object() || j.size() != 1) {
        return std::nullopt;
    }
    const auto entry = j.begin();
    const std::string& tag = entry.key();
    const Json& content = entry.value();
    if (tag == "bool" && content.is_boolean()) {
        return PlistValue(content.get<bool>());
    }
    if (tag == "int" && content.is_number_integer()) {
        if (content.is_number_unsigned() &&
            content.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            return std::nullopt;
        }
        return PlistValue(content.get<int64_t>());
    }
    if (tag == "float") {
        if (const auto d = decodeReal(content)) {
            return PlistValue(static_cast<float>(*d));
        }
        return std::nullopt;
    }
    if (tag == "double") {
        if (const auto d = decodeReal(content)) {
            return PlistValue(*d);
        }
        return std::nullopt;
    }
    if (tag == "string" && content.is_string()) {
        return PlistValue(content.get<std::string>());
    }
    if (tag == "bytes" && content.is_string()) {
        if (auto bytes = fromHex(content.get_ref<const std::string&>())) {
            return PlistValue(std::move(*bytes));
        }
        return std::nullopt;
    }
    if (tag == "list" && content.is_array()) {
        PlistList list;
        list.reserve(content.size());
        for (const Json& item : content) {
            auto decoded = decode(item);
            if (!decoded) {
                return std::nullopt;
            }
            list.push_back(std::move(*decoded));
        }
        return PlistValue(std::move(list));
    }
    if ((tag == "map" || tag == "maphex") && content.is_object()) {
        PlistMap map;
        for (auto it = content.begin(); it != content.end(); ++it) {
            auto decoded = decode(it.value());
            std::optional<std::string> realKey = it.key();
            if (tag == "maphex") {
                realKey = fromHex(it.key());
            }
            if (!decoded || !realKey) {
                return std::nullopt;
            }
            map.emplace(std::move(*realKey), std::move(*decoded));
        }
        return PlistValue(std::move(map));
    }
    return std::nullopt;
}

}  // namespace

std::string encodeStoredValue(const PlistValue& value) {
    // Text that is not UTF-8 was hex-encoded above; `replace` only keeps dump() from throwing.
    return encode(value).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<PlistValue> decodeStoredValue(std::string_view text) {
    const Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded()) {
        return std::nullopt;
    }
    return decode(j);
}

}  // namespace velmo
