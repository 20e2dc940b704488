#include "core/service/TarvoReply.h"

#include <algorithm>
#include <array>
#include <utility>
#include <numeric>
#include <string_view>

namespace velmo {

Envelope judgeEnvelope(const std::optional<Bytes>& body, const std::optional<UrlResponse>& response,
                       const std::optional<UrlError>& transportError) {
    const bool redirect = response && response->statusCode >= 300 && response->statusCode < 400;
    if (transportError || !body || redirect) {
        return {std::nullopt, kDownloadError};
    }
    JSON reply = JSON::parse(std::span<const std::uint8_t>(*body), {.allowFragments = true});
    const std::optional<bool> error = reply["error"].boolean();
    if (!error) {
        return {std::nullopt, kDownloadError};
    }
    if (!*error) {
        return {std::move(reply), std::nullopt};
    }
    const std::optional<std::string> code = reply["errorMessage"].string();
    if (const std::optional<std::string> text = reply["errorMessageText"].string()) {
        // Without a code of its own the text still reaches the user: "::" + text.
        return {std::nullopt, code.value_or(std::string()) + "::" + *text};
    }
    return {std::nullopt, code};
}

namespace {

enum class Read {
    doubleNumber,
    integerNumber,
    integer,
    string,
    boolean
};

struct Field {
    const char* member;
    Read read;
    const char* key;
};

// The departure item's members in the order they are read, with the item key each becomes.
// "warningText" (only when "warning" is true) and "hasDetails" follow these.
constexpr std::array<Field, 21> kFields{{
    {"stopLat", Read::doubleNumber, "stopLat"},
    {"stopLon", Read::doubleNumber, "stopLon"},
    {"stopDistance", Read::integerNumber, "stopDistance"},
    {"stopFavoriteId", Read::string, "stopId"},
    {"stopUniqueId", Read::string, "stopIdUniq"},
    {"stopNearest", Read::boolean, "nearest"},
    {"stopFavorite", Read::boolean, "favStop"},
    {"stopName", Read::string, "name"},
    {"routeName", Read::string, "shortName"},
    {"routeFavoriteId", Read::string, "routeId"},
    {"routeUniqueId", Read::string, "routeIdUniq"},
    {"routeFavorite", Read::boolean, "favRoute"},
    {"routeType", Read::string, "type"},
    {"tripHeadsign", Read::string, "tripHeadsign"},
    {"tripId", Read::string, "tripId"},
    {"tripUniqueId", Read::string, "tripIdUniq"},
    {"tripDepartureSeconds", Read::integer, "departureSeconds"},
    {"tripDepartureTimestamp", Read::integer, "departure"},
    {"tripDepartureMinutesText", Read::string, "departureMinutes"},
    {"tripDepartureGPS", Read::boolean, "departureGPS"},
    {"warning", Read::boolean, "warning"},
}};

std::optional<PlistValue> readField(const JSON& value, Read read) {
    switch (read) {
        case Read::doubleNumber:
            if (auto n = value.number()) {
                return PlistValue(n->toDouble());
            }
            break;
        case Read::integerNumber:
            if (auto n = value.number()) {
                return PlistValue(n->toInt64());
            }
            break;
        case Read::integer:
            if (auto n = value.integer()) {
                return PlistValue(*n);
            }
            break;
        case Read::string:
            if (auto s = value.string()) {
                return PlistValue(std::move(*s));
            }
            break;
        case Read::boolean:
            if (auto b = value.boolean()) {
                return PlistValue(*b);
            }
            break;
    }
    return std::nullopt;
}

// Positions in kFields ordered by item key: filling the map in key order lets every insertion
// go straight to the end instead of searching the tree (this runs for every departure).
const std::array<std::size_t, kFields.size()>& fieldsInKeyOrder() {
    static const auto order = [] {
        std::array<std::size_t, kFields.size()> positions{};
        std::iota(positions.begin(), positions.end(), std::size_t{0});
        std::sort(positions.begin(), positions.end(), [](std::size_t a, std::size_t b) {
            return std::string_view(kFields[a].key) < std::string_view(kFields[b].key);
        });
        return positions;
    }();
    return order;
}

}  // namespace

DepartureConversion convertDeparture(const JSON& departure) {
    DepartureConversion result;
    std::array<PlistValue, kFields.size()> values;
    for (std::size_t i = 0; i < kFields.size(); ++i) {
        std::optional<PlistValue> value = readField(departure[kFields[i].member], kFields[i].read);
        if (!value) {
            result.badMember = kFields[i].member;
            return result;
        }
        values[i] = std::move(*value);
    }
    PlistMap item;
    for (std::size_t i : fieldsInKeyOrder()) {
        item.emplace_hint(item.end(), kFields[i].key, std::move(values[i]));
    }
    if (*item.at("warning").ifBool()) {
        PlistList texts;
        for (const auto& [position, element] : departure["warningText"]) {
            if (auto text = element.string()) {
                texts.emplace_back(std::move(*text));
            } else {
                result.skippedWarnings.push_back(position);
            }
        }
        item.emplace("warningText", std::move(texts));
    }
    const std::optional<bool> hasDetails = departure["hasDetails"].boolean();
    if (!hasDetails) {
        result.badMember = "hasDetails";
        result.skippedWarnings.clear();
        return result;
    }
    item.emplace("hasDetails", *hasDetails);
    // Beyond the members every item has: a cancelled departure (or one at a skipped stop). Only a
    // boolean is taken; without it the item is as it always was, and its absence reads as false.
    if (const std::optional<bool> cancelled = departure["tripCancelled"].boolean()) {
        item.emplace("tripCancelled", *cancelled);
    }
    result.item = std::move(item);
    return result;
}

std::string errorMessageForCode(std::string_view code) {
    struct Message {
        std::string_view code;
        const char* text;
    };
    static constexpr std::array<Message, 9> kMessages{{
        {"NOLOCATION", "A pozíciód meghatározása nem sikerült"},
        {"NOLOCATIONACCESS", "Nincs hozzáférés a pozíciódhoz"},
        {"NOLOCATIONDISABLED", "A helymeghatározás le van tiltva"},
        {"NOSTOPS", "Nincs megálló a közeledben"},
        {"NOTRIPS", "Nincs induló járat"},
        {"DOWNLOADERROR", "Hálózati hiba"},
        {"NEWSTABLE", "Új verzió elérhető az App Storeban"},
        {"NEWTESTFLIGHT", "Telepítsd fel az új verziót a Testflightból!"},
        {kNoServer, "Nincs beállítva kiszolgáló"},
    }};
    for (const Message& message : kMessages) {
        if (code == message.code) {
            return message.text;
        }
    }
    constexpr std::string_view separator = "::";
    const auto first = code.find(separator);
    if (first == std::string_view::npos) {
        return "Ismeretlen hiba!";
    }
    // The server's text: between the first "::" and the next one, or the end.
    const std::string_view rest = code.substr(first + separator.size());
    return std::string(rest.substr(0, rest.find(separator)));
}

std::optional<std::string> vehicleTypeName(std::string_view type) {
    static constexpr std::array<std::pair<std::string_view, const char*>, 7> kNames{{
        {"BUS", "busz"},
        {"FERRY", "hajó"},
        {"NIGHTBUS", "éjszakai busz"},
        {"RAIL", "vonat"},
        {"SUBWAY", "metró"},
        {"TRAM", "villamos"},
        {"TROLLEYBUS", "trolibusz"},
    }};
    for (const auto& [code, name] : kNames) {
        if (code == type) {
            return name;
        }
    }
    return std::nullopt;
}

}  // namespace velmo
