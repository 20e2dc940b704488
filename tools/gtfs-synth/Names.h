#pragma once

#include "tools/gtfs-synth/Random.h"

#include <map>
#include <string>
#include <unordered_set>
#include <vector>

namespace velmo::synth {

// Invented, Hungarian-sounding place names, each handed out once.
// Stems join plant, bird and landscape words ("Pipacsliget", "Kavicsos");
// a caller adds the kind of place ("utca", "tér", "rakpart").
class NameGenerator {
public:
    explicit NameGenerator(std::uint64_t seed);

    // A full name "<stem> <kind>" not handed out before.
    std::string unique(std::string_view kind);

private:
    struct Cursor {
        std::size_t start = 0;
        std::size_t taken = 0;
    };
    std::string stemAt(std::size_t taken, std::size_t start) const;

    Random random_;
    std::vector<std::string> stems_;
    std::map<std::string, Cursor, std::less<>> cursors_;
    std::unordered_set<std::string> used_;
};

}  // namespace velmo::synth
