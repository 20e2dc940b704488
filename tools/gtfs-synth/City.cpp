#include "tools/gtfs-synth/City.h"

#include "tools/gtfs-synth/Names.h"
#include "tools/gtfs-synth/Random.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <stdexcept>

namespace velmo::synth {

namespace {

constexpr double kSpacing = 350.0;     // metres between parallel streets
constexpr double kJitter = 35.0;       // stops are not exactly on the corner
constexpr double kRiverWidth = 250.0;  // the river runs between columns 1 and 2
constexpr int kWestBank = 1;
constexpr int kEastBank = 2;

int floorMod(int value, int divisor) { return ((value % divisor) + divisor) % divisor; }

struct Node {
    int c = 0;
    int r = 0;
    Point at;
    int reasons = 0;    // how many kinds of interchange meet here
    int platforms = 1;  // boarding stops here once allocated
    bool stopped = false;
    int firstStop = -1;
    // What the naming needs to know.
    bool rail = false;
    bool pier = false;
    bool tramTerminus = false;
    bool ring = false;
};

struct Direction {
    int dc;
    int dr;
};

constexpr Direction kSubwayDirections[] = {{1, 0}, {0, 1}, {1, 1}, {1, -1}};
constexpr Direction kRailDirections[] = {{-1, 0}, {0, -1}, {1, 0}, {0, 1}, {-1, -1}, {1, 1}, {-1, 1}, {1, -1}};
constexpr Direction kDiagonals[] = {{1, 1}, {1, -1}, {-1, 1}, {-1, -1}};

class Grid {
public:
    explicit Grid(int half) : half_(half), side_(2 * half + 1), nodes_(static_cast<std::size_t>(side_ * side_)) {
        for (int c = -half; c <= half; ++c)
            for (int r = -half; r <= half; ++r) {
                Node& node = nodes_[static_cast<std::size_t>(index(c, r))];
                node.c = c;
                node.r = r;
            }
    }

    int half() const { return half_; }
    int index(int c, int r) const {
        if (c < -half_ || c > half_ || r < -half_ || r > half_)
            return -1;
        return (c + half_) * side_ + (r + half_);
    }
    Node& node(int i) { return nodes_[static_cast<std::size_t>(i)]; }
    std::vector<Node>& nodes() { return nodes_; }

    // Stopped nodes along a straight walk from (c, r), at steps k in [from, to]
    // where k is a multiple of `every`.
    std::vector<int> walk(int c, int r, Direction d, int from, int to, int every) const {
        std::vector<int> result;
        for (int k = from; k <= to; ++k) {
            if (floorMod(k, every) != 0)
                continue;
            const int i = index(c + k * d.dc, r + k * d.dr);
            if (i >= 0 && nodes_[static_cast<std::size_t>(i)].stopped)
                result.push_back(i);
        }
        return result;
    }

private:
    int half_;
    int side_;
    std::vector<Node> nodes_;
};

struct Draft {
    Mode mode;
    std::vector<int> nodes;
    int variant = 0;  // a second ferry, a trolley with exact times, ...
};

double distance(Point a, Point b) { return std::hypot(a.x - b.x, a.y - b.y); }

struct ModeLook {
    const char* idPrefix;
    int routeType;
    const char* color;
    const char* textColor;
    double speed;   // metres per second between stops
    int dwell;      // seconds at each stop
    double detour;  // street distance over straight distance
};

ModeLook look(Mode mode) {
    switch (mode) {
        case Mode::Subway: return {"ME", 1, "", "FFFFFF", 11.0, 30, 1.0};
        case Mode::Rail: return {"HE", 2, "3F8F3A", "FFFFFF", 15.0, 45, 1.0};
        case Mode::Tram: return {"VI", 0, "F2C200", "000000", 5.0, 20, 1.05};
        case Mode::Trolleybus: return {"TR", 11, "C7322B", "FFFFFF", 5.2, 20, 1.05};
        case Mode::Bus: return {"BU", 3, "1F6FB2", "FFFFFF", 5.5, 20, 1.05};
        case Mode::NightBus: return {"EJ", 3, "2B2B2B", "FFFFFF", 7.5, 15, 1.05};
        case Mode::Ferry: return {"HA", 4, "2E8FB8", "FFFFFF", 4.0, 60, 1.1};
    }
    throw std::logic_error("unknown mode");
}

// Hands out route numbers of one kind from a range in a shuffled order,
// then carries on past the range when a big city needs more.
class NumberPool {
public:
    NumberPool(int from, int to, Random& random) : next_(to + 1) {
        for (int n = from; n <= to; ++n)
            numbers_.push_back(n);
        for (std::size_t i = numbers_.size() - 1; i > 0; --i)
            std::swap(numbers_[i], numbers_[random.below(static_cast<std::uint32_t>(i + 1))]);
    }
    int take() {
        if (taken_ < numbers_.size())
            return numbers_[taken_++];
        return next_++;
    }

private:
    std::vector<int> numbers_;
    std::size_t taken_ = 0;
    int next_;
};

Headways headwaysFor(Mode mode, Random& random) {
    Headways h;
    switch (mode) {
        case Mode::Subway:
            h = {random.between(3, 4), random.between(5, 7), random.between(10, 12), 4 * 60 + 30, 23 * 60 + 50};
            break;
        case Mode::Rail: {
            constexpr int kPeak[] = {15, 20};
            constexpr int kDay[] = {20, 30};
            constexpr int kEvening[] = {30, 60};
            h = {kPeak[random.below(2)], kDay[random.below(2)], kEvening[random.below(2)], 4 * 60, 23 * 60 + 30};
            break;
        }
        case Mode::Tram:
            h = {random.between(5, 8), random.between(8, 12), random.between(15, 20),
                 4 * 60 + 30 + random.between(0, 20), 23 * 60 + 30 + random.between(0, 60)};
            break;
        case Mode::Trolleybus:
            h = {random.between(5, 9), random.between(10, 15), random.between(15, 25), 5 * 60,
                 23 * 60 + random.between(0, 30)};
            break;
        case Mode::Bus:
            h = {random.between(6, 10), random.between(10, 15), random.between(20, 30),
                 4 * 60 + 45 + random.between(0, 30), 22 * 60 + 30 + random.between(0, 60)};
            break;
        case Mode::NightBus: {
            constexpr int kNight[] = {30, 40, 45, 60};
            const int every = kNight[random.below(4)];
            h = {every, every, every, 23 * 60 + random.between(0, 30), 28 * 60 + random.between(0, 30)};
            break;
        }
        case Mode::Ferry: h = {30, 60, 60, 7 * 60, 20 * 60 + 30}; break;
    }
    return h;
}

constexpr const char* kSubwayColors[] = {"E5B000", "D2232A", "2E5EAA", "3B9B48"};

// Kinds of ordinary stop names with their weights out of 100.
struct Kind {
    const char* word;
    int weight;
};
constexpr Kind kOrdinaryKinds[] = {{"utca", 38}, {"út", 12},  {"tér", 10},    {"sor", 12},
                                   {"köz", 9},   {"park", 9}, {"megálló", 10}};

const char* ordinaryKind(Random& random) {
    int roll = static_cast<int>(random.below(100));
    for (const Kind& kind : kOrdinaryKinds) {
        if (roll < kind.weight)
            return kind.word;
        roll -= kind.weight;
    }
    return "utca";
}

}  // namespace

City buildCity(const Options& options) {
    if (auto problem = checkOptions(options))
        throw std::invalid_argument(*problem);

    const int n = options.stops;
    const double radius = std::sqrt(n / 3.14159265358979);
    const int half = static_cast<int>(std::ceil(radius)) + 3;
    Grid grid(half);
    Random random(Random::derive(options.seed, 1));

    // Where the nodes lie: a jittered grid, the east bank shifted by the river.
    for (Node& node : grid.nodes()) {
        node.at.x = node.c * kSpacing + (node.c >= kEastBank ? kRiverWidth : 0.0) + (random.unit() * 2 - 1) * kJitter;
        node.at.y = node.r * kSpacing + (random.unit() * 2 - 1) * kJitter;
        const double d = std::hypot(node.c, node.r);
        node.ring = std::fabs(d - radius / 2) < 0.5;
    }

    // Interchanges: subway stations, railway stations and the big crossings.
    const int subwayCount = std::clamp(1 + n / 1500, 1, 4);
    const int railCount = std::clamp(n / 800, 1, 6);
    for (int s = 0; s < subwayCount; ++s)
        for (int k = -half; k <= half; k += 1)
            if (floorMod(k, 3) == 0) {
                const int i = grid.index(k * kSubwayDirections[s].dc, k * kSubwayDirections[s].dr);
                if (i >= 0)
                    ++grid.node(i).reasons;
            }
    for (int s = 0; s < railCount; ++s)
        for (int k = 0; k <= half; k += 4) {
            const int i = grid.index(k * kRailDirections[s].dc, k * kRailDirections[s].dr);
            if (i >= 0)
                ++grid.node(i).reasons;
        }
    for (Node& node : grid.nodes())
        if (floorMod(node.c, 8) == 0 && floorMod(node.r, 8) == 0)
            ++node.reasons;

    // Fill the city outwards from the centre until exactly n boarding points exist.
    std::vector<int> order(grid.nodes().size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        const Node& na = grid.node(a);
        const Node& nb = grid.node(b);
        const int da = na.c * na.c + na.r * na.r;
        const int db = nb.c * nb.c + nb.r * nb.r;
        if (da != db)
            return da < db;
        return a < b;
    });
    std::vector<int> allocated;
    int remaining = n;
    for (int i : order) {
        if (remaining == 0)
            break;
        Node& node = grid.node(i);
        int platforms = node.reasons > 0 ? std::clamp(1 + node.reasons, 2, 4) : 1;
        if (platforms > remaining)
            platforms = remaining >= 2 ? remaining : 1;
        node.platforms = platforms;
        node.stopped = true;
        remaining -= platforms;
        allocated.push_back(i);
    }
    if (remaining != 0)
        throw std::logic_error("street grid too small for the stops");

    // Lines, first as walks over the grid.
    std::vector<Draft> drafts;
    auto addDraft = [&](Mode mode, std::vector<int> nodes, int variant = 0) {
        if (nodes.size() < 2)
            return false;
        drafts.push_back({mode, std::move(nodes), variant});
        return true;
    };

    for (int s = 0; s < subwayCount; ++s) {
        auto stops = grid.walk(0, 0, kSubwayDirections[s], -half, half, 3);
        if (stops.size() < 2)
            stops = grid.walk(0, 0, kSubwayDirections[s], -half, half, 1);
        addDraft(Mode::Subway, std::move(stops));
    }
    for (int s = 0; s < railCount; ++s) {
        auto stops = grid.walk(0, 0, kRailDirections[s], 0, half, 4);
        if (stops.size() < 2)
            stops = grid.walk(0, 0, kRailDirections[s], 0, half, 1);
        for (int i : stops)
            grid.node(i).rail = true;
        addDraft(Mode::Rail, std::move(stops));
    }

    // The ferry zigzags between the banks; a big city gets a second one along the west bank.
    auto ferryWalk = [&](int every) {
        std::vector<int> stops;
        for (int r = -half; r <= half; ++r) {
            if (floorMod(r, every) != 0)
                continue;
            const int leg = (r - floorMod(r, every)) / every;
            const int i = grid.index(floorMod(leg, 2) == 0 ? kWestBank : kEastBank, r);
            if (i >= 0 && grid.node(i).stopped)
                stops.push_back(i);
        }
        return stops;
    };
    {
        auto stops = ferryWalk(3);
        if (stops.size() < 2)
            stops = ferryWalk(1);
        for (int i : stops)
            grid.node(i).pier = true;
        addDraft(Mode::Ferry, std::move(stops));
        if (n >= 1500) {
            auto west = grid.walk(kWestBank, 0, {0, 1}, 0, half, 4);
            for (int i : west)
                grid.node(i).pier = true;
            addDraft(Mode::Ferry, std::move(west), 1);
        }
    }

    // Streets: every fourth row and column is a main street carrying a tram or a
    // trolleybus (the nearest two always do); the rest carry buses in overlapping pieces.
    struct Street {
        int offset;
        bool row;
        std::vector<int> stops;
    };
    std::vector<Street> mainStreets;
    std::vector<Street> sideStreets;
    for (int offset = -half; offset <= half; ++offset)
        for (bool row : {true, false}) {
            Street street{
                offset, row,
                row ? grid.walk(0, offset, {1, 0}, -half, half, 1) : grid.walk(offset, 0, {0, 1}, -half, half, 1)};
            if (street.stops.size() < 2)
                continue;
            (floorMod(offset, 4) == 0 ? mainStreets : sideStreets).push_back(std::move(street));
        }
    std::stable_sort(mainStreets.begin(), mainStreets.end(),
                     [](const Street& a, const Street& b) { return std::abs(a.offset) < std::abs(b.offset); });

    auto pieces = [&](const std::vector<int>& stops, int shortest, int longest) {
        std::vector<std::vector<int>> result;
        std::size_t start = 0;
        const std::size_t lastIndex = stops.size() - 1;
        while (start < lastIndex) {
            std::size_t end =
                std::min(lastIndex, start + static_cast<std::size_t>(random.between(shortest, longest)) - 1);
            if (lastIndex - end < static_cast<std::size_t>(shortest / 2))
                end = lastIndex;  // no stub of a line at the edge
            result.emplace_back(stops.begin() + static_cast<std::ptrdiff_t>(start),
                                stops.begin() + static_cast<std::ptrdiff_t>(end) + 1);
            start = end;  // the next piece starts where this one ends, so lines meet
        }
        return result;
    };

    int trolleyLines = 0;
    for (std::size_t s = 0; s < mainStreets.size(); ++s) {
        Mode mode;
        if (s == 0)
            mode = Mode::Tram;
        else if (s == 1)
            mode = Mode::Trolleybus;
        else {
            const double roll = random.unit();
            mode = roll < 0.55 ? Mode::Tram : roll < 0.75 ? Mode::Trolleybus : Mode::Bus;
        }
        const auto& stops = mainStreets[s].stops;
        switch (mode) {
            case Mode::Tram:
                for (auto& piece : pieces(stops, 20, 40)) {
                    grid.node(piece.front()).tramTerminus = true;
                    grid.node(piece.back()).tramTerminus = true;
                    addDraft(Mode::Tram, std::move(piece));
                }
                break;
            case Mode::Trolleybus:
                for (auto& piece : pieces(stops, 14, 22))
                    addDraft(Mode::Trolleybus, std::move(piece), trolleyLines++ % 2);
                break;
            default:
                for (auto& piece : pieces(stops, 10, 22))
                    addDraft(Mode::Bus, std::move(piece));
                break;
        }
    }
    for (const Street& street : sideStreets)
        for (auto& piece : pieces(street.stops, 10, 22))
            addDraft(Mode::Bus, std::move(piece));

    // A few buses cut across the grid on diagonals.
    const int diagonalBuses = std::max(1, n / 400);
    for (int made = 0, attempts = 0; made < diagonalBuses && attempts < diagonalBuses * 20; ++attempts) {
        const Node& from = grid.node(allocated[random.below(static_cast<std::uint32_t>(allocated.size()))]);
        const Direction d = kDiagonals[random.below(4)];
        const int length = random.between(8, 16);
        std::vector<int> stops;
        for (int k = 0; k < length; ++k) {
            const int i = grid.index(from.c + k * d.dc, from.r + k * d.dr);
            if (i < 0 || !grid.node(i).stopped)
                break;
            stops.push_back(i);
        }
        if (stops.size() >= 4 && addDraft(Mode::Bus, std::move(stops)))
            ++made;
    }

    // Night buses follow the main streets end to end and the two long diagonals.
    {
        std::vector<std::vector<int>> candidates;
        for (const Street& street : mainStreets)
            candidates.push_back(street.stops);
        candidates.push_back(grid.walk(0, 0, {1, 1}, -half, half, 1));
        candidates.push_back(grid.walk(0, 0, {1, -1}, -half, half, 1));
        std::erase_if(candidates, [](const auto& stops) { return stops.size() < 2; });
        for (std::size_t i = candidates.size(); i > 1; --i)
            std::swap(candidates[i - 1], candidates[random.below(static_cast<std::uint32_t>(i))]);
        const std::size_t nightCount = std::min(candidates.size(), static_cast<std::size_t>(std::max(3, n / 80)));
        for (std::size_t i = 0; i < nightCount; ++i)
            addDraft(Mode::NightBus, std::move(candidates[i]), static_cast<int>(i % 2));
    }

    // Names, from the centre outwards.
    City city;
    NameGenerator names(Random::derive(options.seed, 2));
    Random kinds(Random::derive(options.seed, 3));
    for (int i : allocated) {
        Node& node = grid.node(i);
        std::string name;
        if (node.platforms >= 2)
            name = names.unique(node.rail ? "állomás" : "tér");
        else if (node.pier)
            name = names.unique("rakpart");
        else if (node.ring)
            name = names.unique("körút");
        else {
            std::string_view kind = ordinaryKind(kinds);
            if (node.tramTerminus && kind == "megálló")
                kind = "utca";
            name = names.unique(kind);
        }
        // Tram loops are named after the street with the loop added, as locals say it.
        if (node.tramTerminus && node.platforms < 2)
            name += ", forduló";

        node.firstStop = static_cast<int>(city.stops.size());
        if (node.platforms >= 2) {
            const int station = static_cast<int>(city.stations.size());
            char id[16];
            std::snprintf(id, sizeof id, "ST%04d", station + 1);
            city.stations.push_back({id, name, node.at});
            constexpr Point kPlatformOffsets[] = {{20, 0}, {-20, 0}, {0, 20}, {0, -20}};
            for (int p = 0; p < node.platforms; ++p) {
                const Point offset = kPlatformOffsets[p % 4];
                std::snprintf(id, sizeof id, "S%05d", static_cast<int>(city.stops.size()) + 1);
                city.stops.push_back(
                    {id, name, {node.at.x + offset.x, node.at.y + offset.y}, station, std::to_string(p + 1)});
            }
        } else {
            char id[16];
            std::snprintf(id, sizeof id, "S%05d", static_cast<int>(city.stops.size()) + 1);
            city.stops.push_back({id, name, node.at, -1, {}});
        }
    }

    // Lines: route names, stops per direction, running times and timetables.
    std::stable_sort(drafts.begin(), drafts.end(), [](const Draft& a, const Draft& b) {
        return static_cast<int>(a.mode) < static_cast<int>(b.mode);
    });
    Random lineRandom(Random::derive(options.seed, 4));
    NumberPool tramNumbers(1, 69, lineRandom);
    NumberPool trolleyNumbers(70, 89, lineRandom);
    NumberPool busNumbers(100, 299, lineRandom);
    NumberPool nightNumbers(900, 999, lineRandom);
    int subwayNumber = 0;
    int railNumber = 0;
    int ferryNumber = 0;
    for (std::size_t d = 0; d < drafts.size(); ++d) {
        const Draft& draft = drafts[d];
        const ModeLook style = look(draft.mode);
        Line line;
        line.mode = draft.mode;
        line.routeType = style.routeType;
        line.color = style.color;
        line.textColor = style.textColor;
        line.seed = Random::derive(options.seed, 1000 + d);
        switch (draft.mode) {
            case Mode::Subway:
                line.shortName = "M" + std::to_string(++subwayNumber);
                line.color = kSubwayColors[(subwayNumber - 1) % 4];
                line.textColor = subwayNumber == 1 ? "000000" : "FFFFFF";
                line.frequencies = FrequencyUse::Inexact;
                break;
            case Mode::Rail: line.shortName = "S" + std::to_string(++railNumber); break;
            case Mode::Tram: line.shortName = std::to_string(tramNumbers.take()); break;
            case Mode::Trolleybus:
                line.shortName = std::to_string(trolleyNumbers.take());
                if (draft.variant == 1)
                    line.frequencies = FrequencyUse::Exact;
                break;
            case Mode::Bus: {
                line.shortName = std::to_string(busNumbers.take());
                if (lineRandom.chance(0.08))
                    line.shortName += 'E';  // express variant
                break;
            }
            case Mode::NightBus:
                line.shortName = std::to_string(nightNumbers.take());
                // Half the night lines carry the extended type, half only their 9xx number.
                line.routeType = draft.variant == 0 ? 705 : 3;
                break;
            case Mode::Ferry: line.shortName = "D" + std::to_string(++ferryNumber); break;
        }
        line.id = std::string(style.idPrefix) + "-" + line.shortName;

        const std::size_t lineIndex = d;
        for (int dir = 0; dir < 2; ++dir) {
            std::vector<int> nodes = draft.nodes;
            if (dir == 1)
                std::reverse(nodes.begin(), nodes.end());
            double seconds = 0;
            for (std::size_t k = 0; k < nodes.size(); ++k) {
                const Node& node = grid.node(nodes[k]);
                const int stop = node.firstStop + static_cast<int>((lineIndex + static_cast<std::size_t>(dir)) %
                                                                   static_cast<std::size_t>(node.platforms));
                if (k > 0) {
                    const Point previous = city.stops[static_cast<std::size_t>(line.stops[dir].back())].at;
                    seconds +=
                        distance(previous, city.stops[static_cast<std::size_t>(stop)].at) * style.detour / style.speed +
                        style.dwell;
                }
                line.stops[dir].push_back(stop);
                line.runSeconds[dir].push_back(static_cast<int>(std::lround(seconds)));
            }
        }
        Random headwayRandom(line.seed);
        line.headways = headwaysFor(draft.mode, headwayRandom);

        const std::string& from = city.stops[static_cast<std::size_t>(line.stops[0].front())].name;
        const std::string& to = city.stops[static_cast<std::size_t>(line.stops[0].back())].name;
        line.longName = from + " – " + to;
        if (draft.mode == Mode::Ferry && draft.variant == 0)
            line.longName = "\"Hullám\" hajójárat: " + line.longName;
        city.lines.push_back(std::move(line));
    }

    // A few tram and bus lines through the middle of the city run all night as well, so that
    // the centre has departures at any hour (with the night buses).
    const int allNightPerMode = std::clamp(n / 200, 1, 6);
    for (const Mode mode : {Mode::Tram, Mode::Bus}) {
        std::vector<std::pair<double, std::size_t>> byDistance;  // nearest stop to the centre, line
        for (std::size_t l = 0; l < city.lines.size(); ++l) {
            if (city.lines[l].mode != mode)
                continue;
            double nearest = std::numeric_limits<double>::max();
            for (int stop : city.lines[l].stops[0])
                nearest = std::min(nearest, distance(city.stops[static_cast<std::size_t>(stop)].at, Point{}));
            byDistance.emplace_back(nearest, l);
        }
        std::sort(byDistance.begin(), byDistance.end());
        for (std::size_t k = 0; k < byDistance.size() && k < static_cast<std::size_t>(allNightPerMode); ++k) {
            Line& line = city.lines[byDistance[k].second];
            line.allNight = true;
            line.headways.first = 0;
            line.headways.last = 24 * 60 - 1;
        }
    }
    return city;
}

}  // namespace velmo::synth
