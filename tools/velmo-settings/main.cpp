// velmo-settings: reads and writes the settings that velmomac and velmomactoday share.
//
// Every invocation opens the store as the programs do, so a due start-up check runs first.
// Input is checked completely before that: a bad command line changes nothing. A write that
// was not saved exits 1, and so does a reading command when the store could not be read:
// it never shows a default as if it were stored.

#include "core/settings/AppSettings.h"
#include "core/settings/PlistJson.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/text/NumberText.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velmo::AppSettings;
using velmo::PlistList;
using velmo::PlistMap;
using velmo::PlistValue;
using velmo::UserDefaults;

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char* const kHelp = R"(Használat: velmo-settings [-h] PARANCS [KAPCSOLÓK] [ARGUMENTUMOK]

A velmomac és a velmomactoday közös beállításait olvassa és írja
($XDG_CONFIG_HOME/velmomac/velmomac.group.sqlite). Minden futás előbb elvégzi
a beállítások induláskori ellenőrzését, ha az esedékes.

Parancsok:
  list [--json]                   a tárolt kulcsok típussal és értékkel, kulcs szerint
  get KULCS                       egy kulcs értéke, és a címkéje, ha van
  set [--raw] [--type TÍPUS] KULCS ÉRTÉK
                                  érték tárolása; a katalógus kulcsainál az érték a kulcs
                                  típusa szerint (Bool: true/false/1/0, Integer, Float,
                                  Any: JSON-szöveg, UUID: szöveg, "UUID" újat készít)
  reset                           minden tárolt beállítás törlése
  fav list stop|trip              a kedvenc megállók vagy járatok (RAW, NÉV)
  fav add stop|trip RAW [NÉV]     kedvenc felvétele; NÉV nélkül a RAW látszik
  fav remove stop|trip RAW        kedvenc törlése

Kapcsolók:
  -h, --help          ez a súgó
      --json          a list kimenete egyetlen JSON-objektum
      --raw           a megengedett értékek ellenőrzése nélkül tárol (sérült tár
                      előállításához); --type mellett a típust sem ellenőrzi
      --type TÍPUS    a katalóguson kívüli kulcs értékének típusa:
                      bool, int, float, double, string vagy json

Kilépési kód: 0 siker; 1 a kedvenc nem található, vagy a beállítások nem írhatók
vagy nem olvashatók (ilyenkor semmit sem ír ki értékként); 2 hibás parancs vagy
érték (ilyenkor semmi sem változik).

Példák:
  velmo-settings list
  velmo-settings set settingMinutes 45
  velmo-settings fav add stop F01234 "Kossuth tér"
)";

int fail(const std::string& message) {
    std::cerr << "velmo-settings: " << message << '\n';
    return kExitUsage;
}

int usage(const std::string& message) {
    std::cerr << "velmo-settings: " << message << " (lásd: velmo-settings --help)\n";
    return kExitUsage;
}

std::string jsonText(const PlistValue& value) {
    // Stored strings need not be valid UTF-8; show them rather than fail.
    return velmo::plistToJson(value).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

struct CommandLine {
    std::vector<std::string> words;
    bool json = false;
    bool raw = false;
    std::optional<std::string> type;
};

// Long options anywhere, "--" ends them; "-1" and the like are values, not options, and so
// is any other text that starts with a single dash and is not -h.
std::optional<std::string> parse(int argc, char** argv, CommandLine& line, bool& help) {
    CLI::App parser("velmo-settings", "velmo-settings");
    parser.set_help_flag();
    // The words are what CLI11 leaves over, in command-line order: no positional option, as
    // that would split a JSON value such as "[1,2]" into several words.
    parser.allow_extras();
    parser.add_flag("-h,--help", help);
    parser.add_flag("--json", line.json);
    parser.add_flag("--raw", line.raw);
    CLI::Option* type = parser.add_option("--type")->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    try {
        parser.parse(argc, argv);
    } catch (const CLI::ArgumentMismatch&) {
        return std::string("a(z) --type kapcsolóhoz típusnév kell");
    } catch (const CLI::ParseError&) {
        // CLI11's own texts are English; the only other refusal is a value given to a flag
        // ("--json=yes"), which was never an option of ours.
        for (int i = 1; i < argc && std::string_view(argv[i]) != "--"; ++i) {
            const std::string_view arg = argv[i];
            if (arg.starts_with("--") && arg.find('=') != std::string_view::npos && !arg.starts_with("--type="))
                return "ismeretlen kapcsoló: " + std::string(arg);
        }
        return std::string("hibás parancssor");
    }
    bool optionsEnded = false;
    for (std::string& word : parser.remaining()) {
        if (!optionsEnded && word == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && word.rfind("--", 0) == 0) {
            return "ismeretlen kapcsoló: " + word;
        } else {
            line.words.push_back(std::move(word));
        }
    }
    if (type->count() > 0) {
        line.type = type->as<std::string>();
    }
    return std::nullopt;
}

std::optional<int64_t> parseInteger(const std::string& text) {
    int64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty())
        return std::nullopt;
    return value;
}

std::optional<double> parseDouble(const std::string& text) {
    // Decimal notation only; an underflow reads as 0, an overflow is refused.
    const std::optional<velmo::DecimalNumber> number = velmo::readDecimal(text);
    if (!number || !std::isfinite(number->value))
        return std::nullopt;
    return number->value;
}

std::optional<float> parseFloat(const std::string& text) {
    const std::optional<double> value = parseDouble(text);
    if (!value || std::fabs(*value) > 3.4028234663852886e38)
        return std::nullopt;
    return static_cast<float>(*value);
}

// The value of `text` read as a value of the command line's type name.
std::optional<PlistValue> parseAs(const std::string& type, const std::string& text) {
    if (type == "bool") {
        if (text == "true" || text == "1")
            return PlistValue(true);
        if (text == "false" || text == "0")
            return PlistValue(false);
        return std::nullopt;
    }
    if (type == "int") {
        if (auto value = parseInteger(text))
            return PlistValue(*value);
        return std::nullopt;
    }
    if (type == "float") {
        if (auto value = parseFloat(text))
            return PlistValue(*value);
        return std::nullopt;
    }
    if (type == "double") {
        if (auto value = parseDouble(text))
            return PlistValue(*value);
        return std::nullopt;
    }
    if (type == "string")
        return PlistValue(text);
    if (type == "json")
        return velmo::parsePlistJson(text);
    return std::nullopt;
}

bool isTypeName(const std::string& type) {
    for (const char* name : {"bool", "int", "float", "double", "string", "json"}) {
        if (type == name)
            return true;
    }
    return false;
}

// The command-line type that a catalogue key's values have.
std::string typeNameOfKey(const std::string& keyType) {
    if (keyType == "Bool")
        return "bool";
    if (keyType == "Integer")
        return "int";
    if (keyType == "Float")
        return "float";
    if (keyType == "Double")
        return "double";
    if (keyType == "Any")
        return "json";
    return "string";
}

bool isFavouriteList(const PlistValue& value) {
    const PlistList* list = value.ifList();
    if (list == nullptr)
        return false;
    for (const PlistValue& entry : *list) {
        const PlistMap* map = entry.ifMap();
        if (map == nullptr || !map->count("raw") || !map->count("display") || !map->at("raw").ifString() ||
            !map->at("display").ifString())
            return false;
    }
    return true;
}

// Reads of the store made since it was created; readable() is false when one of them could
// not read it, and then says so.
class ReadCheck {
public:
    bool readable() const {
        if (UserDefaults::failedReads() == before_)
            return true;
        std::cerr << "velmo-settings: a beállítások nem olvashatók: " << UserDefaults(AppSettings::kAppGroup).path()
                  << '\n';
        return false;
    }

private:
    int before_ = UserDefaults::failedReads();
};

bool ensureWritable() {
    UserDefaults defaults(AppSettings::kAppGroup);
    if (defaults.isWritable())
        return true;
    std::cerr << "velmo-settings: a beállítások nem írhatók: " << defaults.path() << '\n';
    return false;
}

int list(const CommandLine& line) {
    if (line.words.size() > 1)
        return usage("fölösleges argumentum: " + line.words[1]);
    const ReadCheck reads;
    const AppSettings settings;
    const PlistMap stored = UserDefaults(AppSettings::kAppGroup).dictionaryRepresentation();
    if (!reads.readable())
        return kExitFailure;
    if (line.json) {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [key, value] : stored) {
            object[key] = {{"type", PlistValue::kindName(value.kind())}, {"value", velmo::plistToJson(value)}};
        }
        std::cout << object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
        return kExitOk;
    }
    for (const auto& [key, value] : stored)
        std::cout << key << '\t' << PlistValue::kindName(value.kind()) << '\t' << jsonText(value) << '\n';
    return kExitOk;
}

int get(const CommandLine& line) {
    if (line.words.size() < 2)
        return usage("hiányzó argumentum: a get parancshoz KULCS kell");
    if (line.words.size() > 2)
        return usage("fölösleges argumentum: " + line.words[2]);
    const std::string& key = line.words[1];
    const ReadCheck reads;
    const AppSettings settings;
    const std::optional<PlistValue> value = settings.get(key);
    const bool labelled = settings.getValidValuesText(key).has_value();
    const std::string label = labelled ? settings.getVisible(key) : std::string();
    if (!reads.readable())
        return kExitFailure;
    std::cout << jsonText(value.value_or(PlistValue()));
    if (labelled) {
        if (label.empty())
            std::cerr << "velmo-settings: a tárolt érték nem szerepel a(z) " << key
                      << " kulcs megengedett értékei között\n";
        else
            std::cout << '\t' << label;
    }
    std::cout << '\n';
    return kExitOk;
}

int refuseOutsideAllowed(const AppSettings& catalogue, const std::string& key, const std::string& text) {
    std::cerr << "velmo-settings: a(z) " << text << " érték nem megengedett a(z) " << key
              << " kulcshoz; a megengedett értékek:\n";
    const PlistList allowed = catalogue.getValidValues(key).value_or(PlistList{});
    const std::vector<std::string> labels = catalogue.getValidValuesText(key).value_or(std::vector<std::string>{});
    for (size_t i = 0; i < allowed.size(); ++i) {
        std::cerr << "  " << jsonText(allowed[i]);
        if (i < labels.size())
            std::cerr << '\t' << labels[i];
        std::cerr << '\n';
    }
    return kExitUsage;
}

int set(const CommandLine& line) {
    if (line.words.size() < 3)
        return usage("hiányzó argumentum: a set parancshoz KULCS és ÉRTÉK kell");
    if (line.words.size() > 3)
        return usage("fölösleges argumentum: " + line.words[3]);
    const std::string& key = line.words[1];
    const std::string& text = line.words[2];
    const std::string invalid = "érvénytelen érték a(z) " + key + " kulcshoz: " + text;
    if (line.type && !isTypeName(*line.type))
        return usage("ismeretlen típus: " + *line.type + " (bool, int, float, double, string vagy json)");

    const AppSettings catalogue(true);  // the tables only; the store is not touched yet
    const std::string keyType = catalogue.getKeyType(key);
    const bool inCatalogue = keyType != "None";
    if (!inCatalogue && !line.type)
        return fail("a(z) " + key + " kulcs nincs a katalógusban, a(z) " + text + " érték tárolásához --type kell");
    const std::string typeName = inCatalogue ? typeNameOfKey(keyType) : *line.type;
    // Storing a catalogue key as another kind bypasses the store: only with --raw.
    const bool direct = inCatalogue && line.type && *line.type != typeName;
    if (direct && !line.raw)
        return fail("a(z) " + key + " kulcs típusa " + keyType + ", a(z) " + text +
                    " érték más típussal csak --raw mellett tárolható");

    const std::optional<PlistValue> value = parseAs(direct ? *line.type : typeName, text);
    if (!value)
        return fail(invalid);
    if (inCatalogue && !line.raw) {
        if (keyType == "Any") {
            if (!value->isNull() && !isFavouriteList(*value))
                return fail(invalid +
                            " (a kedvencek listája [{\"raw\": ..., \"display\": ...}] "
                            "alakú)");
        } else if (const std::optional<PlistList> allowed = catalogue.getValidValues(key)) {
            if (std::find(allowed->begin(), allowed->end(), *value) == allowed->end())
                return refuseOutsideAllowed(catalogue, key, text);
        }
    }

    AppSettings settings;
    if (!ensureWritable())
        return kExitFailure;
    const bool saved = direct ? UserDefaults(AppSettings::kAppGroup).setObject(key, *value) : settings.set(key, *value);
    return saved ? kExitOk : kExitFailure;
}

int reset(const CommandLine& line) {
    if (line.words.size() > 1)
        return usage("fölösleges argumentum: " + line.words[1]);
    const AppSettings settings;
    if (!ensureWritable())
        return kExitFailure;
    return UserDefaults(AppSettings::kAppGroup).removeAllObjects() ? kExitOk : kExitFailure;
}

int favourites(const CommandLine& line) {
    const std::vector<std::string>& w = line.words;
    if (w.size() < 3)
        return usage("hiányzó argumentum: fav list|add|remove stop|trip [RAW [NÉV]]");
    const std::string& action = w[1];
    std::string key;
    if (w[2] == "stop")
        key = "settingFavStopList";
    else if (w[2] == "trip")
        key = "settingFavTripList";
    else
        return usage("ismeretlen lista: " + w[2] + " (stop vagy trip)");

    size_t maxWords = 0;
    if (action == "list")
        maxWords = 3;
    else if (action == "add")
        maxWords = 5;
    else if (action == "remove")
        maxWords = 4;
    else
        return usage("ismeretlen fav parancs: " + action + " (list, add vagy remove)");
    if (action != "list" && w.size() < 4)
        return usage("hiányzó argumentum: a fav " + action + " parancshoz RAW kell");
    if (w.size() > maxWords)
        return usage("fölösleges argumentum: " + w[maxWords]);
    if (action != "list" && w[3].empty())
        return fail("érvénytelen érték a(z) " + key + " kulcshoz: üres RAW");

    const ReadCheck reads;
    AppSettings settings;
    if (action == "list") {
        const std::vector<PlistMap> rows = settings.getSettingsForTableView(key);
        if (!reads.readable())
            return kExitFailure;
        for (const PlistMap& row : rows) {
            const auto member = [&row](const char* name) {
                const auto it = row.find(name);
                return it == row.end() ? std::string() : it->second.toString().value_or("");
            };
            std::cout << member("value") << '\t' << member("text") << '\n';
        }
        return kExitOk;
    }
    if (!ensureWritable())
        return kExitFailure;
    // The check for the entry and the change are one transaction: another program's change
    // made at the same time is kept.
    const std::string& raw = w[3];
    using Change = AppSettings::ListChange;
    if (action == "add") {
        const Change change = settings.setStringList(key, raw, w.size() > 4 ? w[4] : raw);
        if (change == Change::Unchanged)
            std::cerr << "velmo-settings: már a kedvencek között van: " << raw << '\n';
        return change == Change::Failed ? kExitFailure : kExitOk;
    }
    const Change change = settings.delStringList(key, raw);
    if (change == Change::Unchanged)
        std::cerr << "velmo-settings: nincs ilyen kedvenc: " << raw << '\n';
    return change == Change::Changed ? kExitOk : kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine line;
    bool help = false;
    if (const std::optional<std::string> error = parse(argc, argv, line, help))
        return usage(*error);
    if (help) {
        std::cout << kHelp;
        return kExitOk;
    }
    if (line.words.empty())
        return usage("hiányzó parancs");
    const std::string& command = line.words[0];
    if ((line.json && command != "list") || ((line.raw || line.type) && command != "set"))
        return usage("a kapcsoló ennél a parancsnál nem használható: " + command);
    if (command == "list")
        return list(line);
    if (command == "get")
        return get(line);
    if (command == "set")
        return set(line);
    if (command == "reset")
        return reset(line);
    if (command == "fav")
        return favourites(line);
    return usage("ismeretlen parancs: " + command);
}
