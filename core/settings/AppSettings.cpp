#include "core/settings/AppSettings.h"

#include "core/settings/Collation.h"
#include "platform/defaults/UserDefaults.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>

namespace velmo {

namespace {

struct Catalogue {
    std::vector<std::string> keys;
    std::map<std::string, std::string> types;
    std::map<std::string, PlistValue> defaults;
    std::map<std::string, PlistList> validValues;
    std::map<std::string, std::vector<std::string>> labels;
    std::map<std::string, std::string> titles;
    std::map<std::string, std::string> footers;
    std::map<std::string, std::string> headers;
};

PlistList floats(std::initializer_list<float> values) { return PlistList(values.begin(), values.end()); }

PlistList integers(std::initializer_list<int64_t> values) { return PlistList(values.begin(), values.end()); }

Catalogue buildCatalogue() {
    Catalogue c;
    auto add = [&c](const std::string& key, const std::string& type, PlistValue def) {
        c.keys.push_back(key);
        c.types[key] = type;
        c.defaults[key] = std::move(def);
    };
    add("settingRovavorir", "Bool", false);
    add("settingRadius", "Float", 300.0F);
    add("settingTodayNum", "Integer", int64_t{3});
    add("userLastUsedScreen", "Integer", int64_t{1});
    add("settingTodayStops", "Integer", int64_t{1});
    add("settingFavTrip", "Integer", int64_t{2});
    add("settingFavStopRadius", "Float", 1500.0F);
    add("settingFavTripList", "Any", "settingFavTripList");
    add("settingFavStopList", "Any", "settingFavStopList");
    add("deviceUUID", "UUID", "UUID");
    add("settingMinutes", "Integer", int64_t{30});
    add("useDevelopmentServer", "Integer", int64_t{0});
    add("settingFavSortMode", "Bool", false);
    add("settingAutoRefresh", "Bool", false);

    c.validValues["settingRovavorir"] = PlistList{false};
    c.validValues["settingRadius"] = floats({100, 250, 300, 400, 500, 750, 1000});
    c.validValues["settingTodayNum"] = integers({1, 2, 3, 4, 5, 6, 7, 8, 9, 99999});
    c.validValues["userLastUsedScreen"] = integers({1, 2});
    c.validValues["settingTodayStops"] = integers({1, 2});
    c.validValues["settingFavTrip"] = integers({1, 2, 4, 3});
    c.validValues["settingFavStopRadius"] = floats({-1, 500, 750, 1000, 1250, 1500, 1750, 2000, 2250, 2500});
    // Presence only: these entries mark the lists as settings with rows.
    c.validValues["settingFavTripList"] = PlistList{"settingsFavTripList"};
    c.validValues["settingFavStopList"] = PlistList{"settingsFavStopList"};
    c.validValues["settingMinutes"] = integers({5, 10, 15, 20, 25, 30, 35, 40, 45, 50, 55, 60});
    c.validValues["useDevelopmentServer"] = integers({0, 1});
    c.validValues["settingFavSortMode"] = PlistList{false, true};
    // The main window asks again every 30 s while it is shown; absent in older suites, so off.
    c.validValues["settingAutoRefresh"] = PlistList{false, true};

    c.labels["settingRadius"] = {"100 m", "250 m", "300 m", "400 m", "500 m", "750 m", "1 km"};
    c.labels["settingTodayNum"] = {"1 db", "2 db", "3 db", "4 db", "5 db",
                                   "6 db", "7 db", "8 db", "9 db", "ami a csövön kifér"};
    c.labels["settingTodayStops"] = {"összes", "legközelebbi"};
    c.labels["settingFavTrip"] = {"mindig", "irányonként egy-egy", "csak megálló-járat", "soha"};
    c.labels["settingFavStopRadius"] = {"nincs",  "500 m",   "750 m", "1 km",    "1.25 km",
                                        "1.5 km", "1.75 km", "2 km",  "2.25 km", "2.5 km"};
    c.labels["settingMinutes"] = {"5 percben",  "10 percben", "15 percben", "20 percben", "25 percben", "fél órában",
                                  "35 percben", "40 percben", "45 percben", "50 percben", "55 percben", "1 óraban"};

    c.titles["settingRadius"] = "Megállók távolsága";
    c.titles["settingTodayNum"] = "Járatok száma a widgeten";
    c.titles["settingTodayStops"] = "Megállók a widgeten";
    c.titles["settingFavTrip"] = "Járatok a lista elején";
    c.titles["settingFavStopRadius"] = "Megállók távolsága";
    c.titles["settingFavTripList"] = "Kedvenc járatok";
    c.titles["settingFavStopList"] = "Kedvenc megállók";
    c.titles["settingMinutes"] = "Járatok a következő";
    c.titles["settingAutoRefresh"] = "Automatikus frissítés";

    c.footers["settingRadius"] =
        "Itt választhatod ki, hogy mekkora körön belül található "
        "megállók járatindulásai látszódjanak a listában";
    c.footers["settingMinutes"] = "Beállíthatod, mennyi idővel előre listázzuk a járatok indulásait";
    c.footers["settingTodayNum"] = "Ha szűkös a helyed a widgetek között, így tudsz egy kicsit takarékoskodni";
    c.footers["settingTodayStops"] =
        "Kiválaszthatod, hogy a körülötted lévő megállók indulásai közül az összes vagy csak a "
        "hozzád legközelebb lévő jelenjen meg a widgeten";
    c.footers["settingFavTrip"] =
        "Kérheted, hogy az összes kedvenc járatodat helyezzük a lista elejére, vagy akár azt is, "
        "hogy csak irányonként 1-1 indulást, esetleg van lehetőséged arra is, hogy csak azok a "
        "járatok legyenek a lista tetején, amelyek a kedvenc megállóidból indulnak";
    c.footers["settingFavStopRadius"] =
        "A kedvenc megállóidat nagyobb távolságban listázzuk, hogy távolabbról is látható "
        "legyen, így akár már a Pillangó utcánál láthatod, hogy mikor indul a buszod az Örsről";

    // The one header belongs to a key outside the catalogue, so no setting shows a header.
    c.headers["settingRadiusX"] = "ALMAAAAAAAAAA!";
    return c;
}

const Catalogue& catalogue() {
    static const Catalogue c = buildCatalogue();
    return c;
}

template <class Map>
const typename Map::mapped_type* find(const Map& map, const std::string& key) {
    const auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

std::string typeOf(const std::string& key) {
    const std::string* type = find(catalogue().types, key);
    return type == nullptr ? std::string("None") : *type;
}

bool isTypedNumber(const std::string& type) {
    return type == "Bool" || type == "Integer" || type == "Float" || type == "Double";
}

// The stored value read the way the key's type reads it; absent for an untyped read.
std::optional<PlistValue> typedRead(const UserDefaults& defaults, const std::string& key, const std::string& type) {
    if (type == "Bool")
        return PlistValue(defaults.boolForKey(key));
    if (type == "Integer")
        return PlistValue(defaults.integerForKey(key));
    if (type == "Float")
        return PlistValue(defaults.floatForKey(key));
    if (type == "Double")
        return PlistValue(defaults.doubleForKey(key));
    return std::nullopt;
}

// Whether `value` is of the kind that a key of `type` stores.
bool kindFits(const std::string& type, const PlistValue& value) {
    using K = PlistValue::Kind;
    if (type == "Bool")
        return value.kind() == K::Bool;
    if (type == "Integer")
        return value.kind() == K::Integer;
    if (type == "Float")
        return value.kind() == K::Float;
    if (type == "Double")
        return value.kind() == K::Double;
    if (type == "String" || type == "UUID")
        return value.kind() == K::String;
    return true;  // "Any"
}

size_t utf8Length(const std::string& text) {
    return static_cast<size_t>(std::count_if(
        text.begin(), text.end(), [](char ch) { return (static_cast<unsigned char>(ch) & 0xC0U) != 0x80U; }));
}

int64_t indexOf(const PlistList& values, const PlistValue& value) {
    const auto it = std::find(values.begin(), values.end(), value);
    return it == values.end() ? -1 : static_cast<int64_t>(it - values.begin());
}

// A favourite entry's member as a string; absent when missing or not a string.
std::optional<std::string> entryText(const PlistValue& entry, const char* member) {
    const PlistMap* map = entry.ifMap();
    if (map == nullptr)
        return std::nullopt;
    const auto it = map->find(member);
    return it == map->end() ? std::nullopt : it->second.toString();
}

}  // namespace

std::string makeUuidString() {
    // Seeded per call: a process that forks must not hand out the same identifier twice.
    std::random_device device;
    std::seed_seq seed{device(), device(), device(), device()};
    std::mt19937_64 engine(seed);
    std::array<uint8_t, 16> bytes{};
    for (size_t i = 0; i < bytes.size(); i += 8) {
        const uint64_t word = engine();
        for (size_t j = 0; j < 8; ++j)
            bytes[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0FU) | 0x40U);  // version 4
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3FU) | 0x80U);  // RFC 4122 variant
    std::string text;
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += kHex[bytes[i] >> 4];
        text += kHex[bytes[i] & 0x0FU];
    }
    return text;
}

AppSettings::AppSettings() {
    catalogue();
    runStartupCheck();
}

AppSettings::AppSettings(bool /*skipCheck*/) { catalogue(); }

AppSettings::~AppSettings() = default;

bool AppSettings::isCatalogueKey(const std::string& key) const {
    const auto& keys = catalogue().keys;
    return std::find(keys.begin(), keys.end(), key) != keys.end();
}

// --- Store ---

std::optional<PlistValue> AppSettings::get(const std::string& key) const {
    UserDefaults defaults(kAppGroup);
    if (!isCatalogueKey(key))
        return defaults.objectForKey(key);
    const std::string type = getKeyType(key);
    if (isTypedNumber(type))
        return typedRead(defaults, key, type);
    if (type == "Any")
        return defaults.objectForKey(key);
    if (type == "String" || type == "UUID")
        return PlistValue(defaults.stringForKey(key).value_or(""));
    return std::nullopt;
}

bool AppSettings::storeValue(UserDefaults& defaults, const std::string& key, const PlistValue& value) {
    if (!isCatalogueKey(key))
        return defaults.setObject(key, value);
    const std::string type = typeOf(key);
    if (!kindFits(type, value)) {
        std::cerr << "velmo: settings: refused a value of kind " << PlistValue::kindName(value.kind()) << " for " << key
                  << " (" << type << "); the stored value is kept\n";
        return false;
    }
    if (type == "Bool")
        return defaults.setBool(key, *value.ifBool());
    if (type == "Integer")
        return defaults.setInteger(key, *value.ifInteger());
    if (type == "Float")
        return defaults.setFloat(key, *value.ifFloat());
    if (type == "Double")
        return defaults.setDouble(key, *value.ifDouble());
    if (type == "UUID" && *value.ifString() == "UUID")
        return defaults.setObject(key, makeUuidString());
    return defaults.setObject(key, value);
}

bool AppSettings::set(const std::string& key, const PlistValue& value) {
    UserDefaults defaults(kAppGroup);
    if (!storeValue(defaults, key, value))
        return false;
    defaults.synchronize();
    updateWatch();
    updateCloud();
    return true;
}

std::string AppSettings::getKeyType(const std::string& key) const { return typeOf(key); }

std::vector<std::string> AppSettings::getValidConfigKeys() const { return catalogue().keys; }

void AppSettings::updateVersion() {
    UserDefaults defaults(kAppGroup);
    defaults.setInteger("configVersion", kConfigVersion);
    defaults.synchronize();
}

void AppSettings::updateWatch() {}
void AppSettings::updateCloud() {}
void AppSettings::watchSyncronized() {}
void AppSettings::resetWatchSyncronized() {}
bool AppSettings::isWatchSyncronized() const { return false; }

void AppSettings::runStartupCheck() {
    UserDefaults defaults(kAppGroup);
    // An unwritable suite has already said so, and reads give the typed defaults.
    if (!defaults.isWritable() || defaults.integerForKey("configVersion") >= kConfigVersion)
        return;
    bool checked = false;
    const bool committed = defaults.transaction([&] {
        // Another program may have finished the check while this one waited for the lock.
        if (defaults.integerForKey("configVersion") >= kConfigVersion)
            return;
        checkInside(defaults);
        checked = true;
    });
    if (!committed) {
        std::cerr << "velmo: settings: the start-up check of " << defaults.path()
                  << " could not be saved; the stored values are unchanged\n";
        return;
    }
    if (checked) {
        updateWatch();
        updateCloud();
    }
}

void AppSettings::checkInside(UserDefaults& defaults) {
    const Catalogue& c = catalogue();
    std::map<std::string, PlistValue> kept;
    for (const std::string& key : c.keys) {
        const std::string type = typeOf(key);
        bool keep = false;
        if (const PlistList* allowed = find(c.validValues, key)) {
            const std::optional<PlistValue> current = typedRead(defaults, key, type);
            const bool valid = current && indexOf(*allowed, *current) >= 0;
            keep = type == "Any" || valid;
        } else if (type == "UUID") {
            const std::optional<std::string> text = defaults.stringForKey(key);
            keep = text && utf8Length(*text) >= 8;
        } else {
            keep = true;
        }
        if (keep) {
            if (std::optional<PlistValue> value = typedRead(defaults, key, type))
                kept[key] = *value;
            else if (std::optional<PlistValue> object = defaults.objectForKey(key))
                kept[key] = *object;
        } else if (const PlistValue* def = find(c.defaults, key)) {
            kept[key] = *def;
        }
    }

    // Everything goes, keys outside the catalogue included; only the kept values return.
    for (const auto& entry : defaults.dictionaryRepresentation())
        defaults.removeObjectForKey(entry.first);
    for (const auto& [key, value] : kept)
        storeCheckedValue(defaults, key, value);
    defaults.setInteger("configVersion", kConfigVersion);
}

void AppSettings::storeCheckedValue(UserDefaults& defaults, const std::string& key, const PlistValue& value) {
    storeValue(defaults, key, value);
}

// --- Catalogue ---

int64_t AppSettings::getSelectedIndex(const std::string& key) const {
    if (!isCatalogueKey(key))
        return -1;
    const std::string type = getKeyType(key);
    const PlistList* allowed = find(catalogue().validValues, key);
    if (!isTypedNumber(type) || allowed == nullptr)
        return -1;
    const std::optional<PlistValue> current = get(key);
    return current ? indexOf(*allowed, *current) : -1;
}

std::string AppSettings::getVisible(const std::string& key) const {
    if (!isCatalogueKey(key))
        return "";
    const std::string type = getKeyType(key);
    if (!isTypedNumber(type))
        return "";
    const int64_t index = getSelectedIndex(key);
    const std::vector<std::string>* labels = find(catalogue().labels, key);
    if (index < 0 || labels == nullptr || static_cast<size_t>(index) >= labels->size())
        return "";
    return (*labels)[static_cast<size_t>(index)];
}

std::string AppSettings::getTitleText(const std::string& key) const {
    if (!isCatalogueKey(key))
        return "";
    const std::string* title = find(catalogue().titles, key);
    return title == nullptr ? std::string() : *title;
}

std::optional<std::string> AppSettings::getHeaderForKey(const std::string& key) const {
    const std::string* header = find(catalogue().headers, key);
    return header == nullptr ? std::nullopt : std::optional<std::string>(*header);
}

std::optional<std::string> AppSettings::getFooterForKey(const std::string& key) const {
    const std::string* footer = find(catalogue().footers, key);
    return footer == nullptr ? std::nullopt : std::optional<std::string>(*footer);
}

std::vector<PlistMap> AppSettings::getSettingsForTableView(const std::string& key) const {
    std::vector<PlistMap> rows;
    if (key.empty())
        return rows;
    const PlistList* allowed = find(catalogue().validValues, key);
    if (allowed == nullptr)
        return rows;
    if (getKeyType(key) == "Any") {
        const std::optional<PlistValue> stored = get(key);
        const PlistList* list = stored ? stored->ifList() : nullptr;
        if (list == nullptr)
            return rows;
        // One row per element, so that a row's position is the entry's position.
        for (const PlistValue& entry : *list) {
            PlistMap row;
            if (std::optional<std::string> display = entryText(entry, "display"))
                row["text"] = *display;
            if (std::optional<std::string> raw = entryText(entry, "raw"))
                row["value"] = *raw;
            rows.push_back(std::move(row));
        }
        return rows;
    }
    const std::vector<std::string>* labels = find(catalogue().labels, key);
    if (labels == nullptr || labels->size() != allowed->size())
        return rows;
    const int64_t selected = getSelectedIndex(key);
    for (size_t i = 0; i < allowed->size(); ++i) {
        rows.push_back(PlistMap{
            {"text", (*labels)[i]}, {"value", (*allowed)[i]}, {"selected", static_cast<int64_t>(i) == selected}});
    }
    return rows;
}

void AppSettings::setIndex(const std::string& key, int64_t index) {
    const PlistList* allowed = find(catalogue().validValues, key);
    if (allowed == nullptr || index < 0 || static_cast<uint64_t>(index) >= allowed->size()) {
        std::cerr << "velmo: settings: no allowed value at index " << index << " for " << key << "; nothing stored\n";
        return;
    }
    set(key, (*allowed)[static_cast<size_t>(index)]);
}

std::optional<PlistList> AppSettings::getValidValues(const std::string& key) const {
    const PlistList* allowed = find(catalogue().validValues, key);
    return allowed == nullptr ? std::nullopt : std::optional<PlistList>(*allowed);
}

std::optional<std::vector<std::string>> AppSettings::getValidValuesText(const std::string& key) const {
    const std::vector<std::string>* labels = find(catalogue().labels, key);
    return labels == nullptr ? std::nullopt : std::optional<std::vector<std::string>>(*labels);
}

std::optional<PlistValue> AppSettings::getDefaultValue(const std::string& key) const {
    const PlistValue* def = find(catalogue().defaults, key);
    return def == nullptr ? std::nullopt : std::optional<PlistValue>(*def);
}

// --- Favourite lists ---

int64_t AppSettings::getStringListIndex(const std::string& key, const std::string& raw) const {
    const std::optional<PlistValue> stored = get(key);
    const PlistList* list = stored ? stored->ifList() : nullptr;
    if (list == nullptr)
        return -1;
    for (size_t i = 0; i < list->size(); ++i) {
        if (entryText((*list)[i], "raw") == raw)
            return static_cast<int64_t>(i);
    }
    return -1;
}

bool AppSettings::getStringList(const std::string& key, const std::string& raw) const {
    return getStringListIndex(key, raw) >= 0;
}

AppSettings::ListChange AppSettings::changeList(const std::string& key, const std::function<bool(PlistList&)>& edit) {
    bool changed = false;
    const bool saved = UserDefaults(kAppGroup).update(key, [&](std::optional<PlistValue>& stored) {
        PlistList list;
        if (stored && stored->ifList() != nullptr)
            list = *stored->ifList();
        if (!edit(list))
            return false;
        stored = std::move(list);
        changed = true;
        return true;
    });
    if (!saved)
        return ListChange::Failed;
    if (!changed)
        return ListChange::Unchanged;
    updateWatch();
    updateCloud();
    return ListChange::Changed;
}

AppSettings::ListChange AppSettings::setStringList(const std::string& key, const std::string& raw,
                                                   const std::string& display) {
    return changeList(key, [&](PlistList& list) {
        if (std::any_of(list.begin(), list.end(),
                        [&](const PlistValue& entry) { return entryText(entry, "raw") == raw; }))
            return false;
        list.push_back(PlistMap{{"raw", raw}, {"display", display}});
        const LocaleCollator collator;
        std::stable_sort(list.begin(), list.end(), [&collator](const PlistValue& a, const PlistValue& b) {
            return collator.compare(entryText(a, "display").value_or(""), entryText(b, "display").value_or("")) < 0;
        });
        return true;
    });
}

AppSettings::ListChange AppSettings::delStringList(const std::string& key, const std::string& raw) {
    return changeList(key, [&](PlistList& list) {
        const auto found = std::find_if(list.begin(), list.end(),
                                        [&](const PlistValue& entry) { return entryText(entry, "raw") == raw; });
        if (found == list.end())
            return false;
        list.erase(found);
        return true;
    });
}

AppSettings::ListChange AppSettings::delStringListByIndex(const std::string& key, int64_t index) {
    return changeList(key, [&](PlistList& list) {
        if (index < 0 || static_cast<uint64_t>(index) >= list.size())
            return false;
        list.erase(list.begin() + static_cast<std::ptrdiff_t>(index));
        return true;
    });
}

}  // namespace velmo
