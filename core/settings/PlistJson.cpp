#include "core/settings/PlistJson.h"

#include "platform/text/NumberText.h"

#include <cmath>
#include <limits>

namespace velmo {

nlohmann::json plistToJson(const PlistValue& value) {
    using K = PlistValue::Kind;
    switch (value.kind()) {
        case K::Null: return nullptr;
        case K::Bool: return *value.ifBool();
        case K::Integer: return *value.ifInteger();
        case K::Float: {
            const float f = *value.ifFloat();
            return std::isfinite(f) ? nlohmann::json(widenAsWritten(f)) : nlohmann::json();
        }
        case K::Double: {
            const double d = *value.ifDouble();
            return std::isfinite(d) ? nlohmann::json(d) : nlohmann::json();
        }
        case K::String: return *value.ifString();
        case K::List: {
            nlohmann::json array = nlohmann::json::array();
            for (const PlistValue& item : *value.ifList())
                array.push_back(plistToJson(item));
            return array;
        }
        case K::Map: {
            nlohmann::json object = nlohmann::json::object();
            for (const auto& [key, item] : *value.ifMap())
                object[key] = plistToJson(item);
            return object;
        }
    }
    return nullptr;
}

PlistValue jsonToPlist(const nlohmann::json& json) {
    switch (json.type()) {
        case nlohmann::json::value_t::boolean: return json.get<bool>();
        case nlohmann::json::value_t::number_integer: return json.get<int64_t>();
        case nlohmann::json::value_t::number_unsigned: {
            const auto u = json.get<uint64_t>();
            if (u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return static_cast<int64_t>(u);
            return static_cast<double>(u);
        }
        case nlohmann::json::value_t::number_float: return json.get<double>();
        case nlohmann::json::value_t::string: return json.get<std::string>();
        case nlohmann::json::value_t::array: {
            PlistList list;
            list.reserve(json.size());
            for (const auto& item : json)
                list.push_back(jsonToPlist(item));
            return list;
        }
        case nlohmann::json::value_t::object: {
            PlistMap map;
            for (const auto& [key, item] : json.items())
                map.emplace(key, jsonToPlist(item));
            return map;
        }
        default: return nullptr;
    }
}

std::optional<PlistValue> parsePlistJson(const std::string& text) {
    nlohmann::json json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded())
        return std::nullopt;
    return jsonToPlist(json);
}

}  // namespace velmo
