#include "core/json/JSONParser.h"

namespace velmo {
namespace {

// Deepest array/object nesting of the text, strings skipped. Copying, comparing and
// writing a tree recurse once per level, so a hostile reply must not nest without bound.
int nestingDepth(std::string_view bytes, int limit) {
    int depth = 0;
    int deepest = 0;
    bool inString = false;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (inString) {
            if (c == '\\')
                ++i;  // the escaped character cannot end the string
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > deepest && (deepest = depth) > limit)
                return deepest;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

std::optional<nlohmann::json> parseJSONDocument(std::string_view bytes, int maxNesting) {
    if (nestingDepth(bytes, maxNesting) > maxNesting)
        return std::nullopt;
    nlohmann::json parsed = nlohmann::json::parse(bytes, nullptr, /*allow_exceptions=*/false);
    if (parsed.is_discarded())
        return std::nullopt;
    return parsed;
}

}  // namespace velmo
