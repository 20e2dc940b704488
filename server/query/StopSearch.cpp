#include "server/query/StopSearch.h"

#include <algorithm>
#include <array>
#include <tuple>

namespace velmo::query {

namespace {

// The base letter of U+00C0..U+017F, in runs: {letter, how many code points}.
constexpr std::array<std::pair<char, int>, 42> kRuns{
    {{'a', 7}, {'c', 1},  {'e', 4}, {'i', 4},  {'d', 1}, {'n', 1}, {'o', 5},  {' ', 1},
     {'o', 1}, {'u', 4},  {'y', 1}, {'t', 1},  {'s', 1},  // U+00C0..U+00DF
     {'a', 7}, {'c', 1},  {'e', 4}, {'i', 4},  {'d', 1}, {'n', 1}, {'o', 5},  {' ', 1},
     {'o', 1}, {'u', 4},  {'y', 1}, {'t', 1},  {'y', 1},  // U+00E0..U+00FF
     {'a', 6}, {'c', 8},  {'d', 4}, {'e', 10}, {'g', 8}, {'h', 4}, {'i', 12}, {'j', 2},
     {'k', 3}, {'l', 10}, {'n', 9}, {'o', 8},  {'r', 6}, {'s', 8}, {'t', 6},  {'u', 12}}};
// U+0174..U+017F, after the runs above.
constexpr std::string_view kTail = "wwyyyzzzzzzs";

constexpr std::array<char, 0x180 - 0xC0> makeTable() {
    std::array<char, 0x180 - 0xC0> table{};
    std::size_t at = 0;
    for (const auto& [letter, count] : kRuns) {
        for (int i = 0; i < count; ++i) {
            table[at++] = letter;
        }
    }
    for (const char c : kTail) {
        table[at++] = c;
    }
    return table;
}
constexpr auto kBase = makeTable();
// "ij" (U+0132/3) and "oe" (U+0152/3) fold to their first letter only; ß and æ to two.
static_assert(kBase[0x135 - 0xC0] == 'j' && kBase[0x151 - 0xC0] == 'o' && kBase[0x171 - 0xC0] == 'u' &&
              kBase[0x17E - 0xC0] == 'z');

bool isWordChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || static_cast<unsigned char>(c) >= 0x80;
}

// Where `query` begins a word of `name` (both folded): 0 at the start, 1 later, -1 nowhere.
int matchRank(std::string_view name, std::string_view query) {
    for (std::size_t p = name.find(query); p != std::string_view::npos; p = name.find(query, p + 1)) {
        if (p == 0) {
            return 0;
        }
        if (!isWordChar(name[p - 1])) {
            return 1;
        }
    }
    return -1;
}

}  // namespace

std::string foldForSearch(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
            continue;
        }
        // Two-byte sequences up to U+017F: lead bytes 0xC3..0xC5.
        if (c >= 0xC3 && c <= 0xC5 && i + 1 < text.size() && (static_cast<unsigned char>(text[i + 1]) & 0xC0) == 0x80) {
            const unsigned code = ((c & 0x1Fu) << 6) | (static_cast<unsigned char>(text[i + 1]) & 0x3Fu);
            if (code >= 0xC0) {
                ++i;
                if (code == 0xDF) {
                    out += "ss";
                } else if (code == 0xC6 || code == 0xE6) {
                    out += "ae";
                } else {
                    out += kBase[code - 0xC0];
                }
                continue;
            }
        }
        out += static_cast<char>(c);
    }
    return out;
}

std::vector<StopMatch> findStops(const Snapshot& snapshot, std::string_view text, std::string_view city,
                                 std::size_t limit) {
    const std::string query = foldForSearch(text);
    struct Candidate {
        int rank;
        std::string folded;
        const City* city;
        std::size_t stop;
    };
    std::vector<Candidate> found;
    std::string folded;
    for (const auto& c : snapshot.cities) {
        if (!city.empty() && c->key != city) {
            continue;
        }
        const auto& stops = c->feed->stops;
        for (std::size_t i = 0; i < stops.size(); ++i) {
            const auto& s = stops[i];
            // One entry per stop group: its representative, a boarding stop or a station.
            if (c->group[i].get() != i ||
                (s.type != gtfs::LocationType::Stop && s.type != gtfs::LocationType::Station)) {
                continue;
            }
            folded = foldForSearch(s.name);
            if (const int rank = matchRank(folded, query); rank >= 0) {
                found.push_back({rank, folded, c.get(), i});
            }
        }
    }
    const auto key = [](const Candidate& x) {
        return std::tie(x.rank, x.folded, x.city->key, x.city->feed->stops[x.stop].id);
    };
    const auto end = found.begin() + static_cast<std::ptrdiff_t>(std::min(limit, found.size()));
    std::partial_sort(found.begin(), end, found.end(), [&](const auto& a, const auto& b) { return key(a) < key(b); });
    std::vector<StopMatch> out;
    for (auto it = found.begin(); it != end; ++it) {
        const auto& s = it->city->feed->stops[it->stop];
        out.push_back({it->city->key, it->city->name, s.id, s.name, s.lat, s.lon});
    }
    return out;
}

}  // namespace velmo::query
