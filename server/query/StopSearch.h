#pragma once
// Stops by name, for a client that lets its user pick a place: the text matches where a word
// of the stop's name begins, ignoring case and accents ("deak" finds "Deák Ferenc tér",
// "ferenc t" too).

#include "server/query/Snapshot.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::query {

struct StopMatch {
    std::string cityKey;
    std::string cityName;
    std::string id;  // of the stop group: the parent station, or the first of same-named stops
    std::string name;
    double lat = 0;
    double lon = 0;
};

// Lower case ASCII with the accents of Latin-1 and Latin Extended-A taken off ("Ő" gives "o",
// "ß" "ss"); other characters are kept as they are.
std::string foldForSearch(std::string_view text);

// One match per stop group of every city (or of the city keyed `city` when it is not
// empty), names matching from their start first, then in the order of their folded names;
// at most `limit`. An unknown city matches nothing.
std::vector<StopMatch> findStops(const Snapshot& snapshot, std::string_view text, std::string_view city,
                                 std::size_t limit);

}  // namespace velmo::query
