#pragma once

#include "tools/gtfs-synth/Synth.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace velmo::synth {

enum class Mode {
    Subway,
    Rail,
    Tram,
    Trolleybus,
    Bus,
    NightBus,
    Ferry
};

// Metres east and north of the centre.
struct Point {
    double x = 0;
    double y = 0;
};

struct Station {
    std::string id;
    std::string name;
    Point at;
};

struct BoardingStop {
    std::string id;
    std::string name;
    Point at;
    int station = -1;          // index into City::stations, or -1
    std::string platformCode;  // set for platforms of a station
};

// Minutes between departures in each part of the day, and the service span.
struct Headways {
    int peak = 10;
    int day = 15;
    int evening = 30;
    int first = 5 * 60;  // minutes after midnight of the first departure
    int last = 23 * 60;  // of the last departure; may pass 24:00
};

enum class FrequencyUse {
    None,
    Inexact,
    Exact
};

struct Line {
    Mode mode = Mode::Bus;
    int routeType = 3;
    std::string id;
    std::string shortName;
    std::string longName;
    std::string color;
    std::string textColor;
    std::array<std::vector<int>, 2> stops;       // boarding stops per direction_id
    std::array<std::vector<int>, 2> runSeconds;  // free-running seconds from the first stop
    Headways headways;
    FrequencyUse frequencies = FrequencyUse::None;
    // A day line that also runs through the night (at its evening headway), every day.
    bool allNight = false;
    std::uint64_t seed = 0;
};

struct City {
    std::vector<Station> stations;
    std::vector<BoardingStop> stops;
    std::vector<Line> lines;
};

// Lays out the street grid, the stops and the lines; the timetable is derived
// from this on the fly while writing.
City buildCity(const Options& options);

}  // namespace velmo::synth
