#include "tools/gtfs-synth/Names.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace velmo::synth {

namespace {

// Adjectives stand alone: "Gesztenyés utca".
constexpr std::array<std::string_view, 40> kAdjectives = {
    "Gesztenyés", "Kavicsos", "Diófás",   "Meggyes",  "Nyírfás",  "Füzes",      "Homokos", "Köves",
    "Csendes",    "Szeles",   "Napos",    "Árnyas",   "Lankás",   "Zöldlombos", "Akácos",  "Szőlős",
    "Mohás",      "Nádas",    "Tölgyes",  "Fenyves",  "Bükkös",   "Kőrises",    "Hársas",  "Jegenyés",
    "Eperfás",    "Almás",    "Körtés",   "Barackos", "Cserjés",  "Vadvirágos", "Mályvás", "Pitypangos",
    "Patakos",    "Dombos",   "Forrásos", "Hangás",   "Csalitos", "Berkenyés",  "Ligetes", "Kökényes"};

// Nouns stand alone or join a landscape word: "Pipacs park", "Malomliget tér".
constexpr std::array<std::string_view, 44> kNouns = {
    "Malom",     "Pipacs",    "Csermely",  "Szarka", "Fenyő",      "Berkenye",  "Kökény",     "Bodza",    "Csalogány",
    "Fecske",    "Harkály",   "Mogyoró",   "Szilva", "Cseresznye", "Levendula", "Napraforgó", "Kankalin", "Ibolya",
    "Boróka",    "Tölgy",     "Kőris",     "Nyárfa", "Hárs",       "Kút",       "Forrás",     "Kapu",     "Torony",
    "Vadgalamb", "Menta",     "Rozmaring", "Zsálya", "Kalász",     "Búza",      "Árpa",       "Lenvirág", "Szellő",
    "Harmat",    "Galagonya", "Varjú",     "Gólya",  "Kosár",      "Fazekas",   "Pacsirta",   "Rigó"};

constexpr std::array<std::string_view, 12> kLandscapes = {"domb", "kert", "liget", "völgy", "mező", "rét",
                                                          "lak",  "part", "dűlő",  "tó",    "erdő", "sziget"};

// Once every stem is used, names take these in turn: "Felső-Pipacs utca".
constexpr std::array<std::string_view, 6> kQualifiers = {"Felső-", "Alsó-", "Új-", "Ó-", "Kis-", "Nagy-"};

}  // namespace

NameGenerator::NameGenerator(std::uint64_t seed) : random_(seed) {
    for (std::string_view adjective : kAdjectives)
        stems_.emplace_back(adjective);
    for (std::string_view noun : kNouns) {
        stems_.emplace_back(noun);
        for (std::string_view landscape : kLandscapes)
            stems_.push_back(std::string(noun) + std::string(landscape));
    }
    // Fisher-Yates with our own generator: std::shuffle differs between libraries.
    for (std::size_t i = stems_.size() - 1; i > 0; --i)
        std::swap(stems_[i], stems_[random_.below(static_cast<std::uint32_t>(i + 1))]);
}

std::string NameGenerator::stemAt(std::size_t taken, std::size_t start) const {
    const std::size_t count = stems_.size();
    const std::string& stem = stems_[(start + taken) % count];
    const std::size_t round = taken / count;
    if (round == 0)
        return stem;
    const std::size_t qualifier = (round - 1) % kQualifiers.size();
    const std::size_t number = (round - 1) / kQualifiers.size();
    std::string name = std::string(kQualifiers[qualifier]) + stem;
    if (number > 0)
        name += " " + std::to_string(number + 1) + ".";
    return name;
}

std::string NameGenerator::unique(std::string_view kind) {
    auto it = cursors_.find(kind);
    if (it == cursors_.end()) {
        // Each kind walks the stems from its own place, so neighbouring stops
        // do not come out as "Pipacs utca" and "Pipacs tér".
        Cursor cursor;
        cursor.start = random_.below(static_cast<std::uint32_t>(stems_.size()));
        it = cursors_.emplace(std::string(kind), cursor).first;
    }
    Cursor& cursor = it->second;
    for (;;) {
        std::string name = stemAt(cursor.taken++, cursor.start);
        name += ' ';
        name += kind;
        if (used_.insert(name).second)
            return name;
    }
}

}  // namespace velmo::synth
