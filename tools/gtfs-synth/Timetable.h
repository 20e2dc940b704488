#pragma once

#include "tools/gtfs-synth/City.h"

#include <string>
#include <utility>
#include <vector>

namespace velmo::synth {

enum Service {
    Weekday,
    Weekend,
    Night,
    ServiceCount
};

struct ServiceInfo {
    const char* id;
    const char* code;  // short form inside trip ids
    bool days[7];      // Monday first, as calendar.txt lists them
};

inline constexpr ServiceInfo kServices[ServiceCount] = {
    {"MUNKANAP", "MN", {true, true, true, true, true, false, false}},
    {"HETVEGE", "HV", {false, false, false, false, false, true, true}},
    {"EJSZAKA", "EJ", {true, true, true, true, true, true, true}},
};

// Public holidays on fixed dates (month, day): on a weekday the weekend timetable runs.
inline constexpr std::pair<unsigned, unsigned> kHolidays[] = {{1, 1},   {3, 15}, {5, 1},   {8, 20},
                                                              {10, 23}, {11, 1}, {12, 25}, {12, 26}};

// A stretch of the service day with one headway, in minutes after midnight.
struct Window {
    int start;
    int end;  // exclusive
    int headway;
    double slowdown;  // running times stretch in the rush hours
};

// The stretches a line runs in on a service, in time order; empty when it does not run.
std::vector<Window> windowsFor(const Line& line, Service service);

// One trip of a line, or for frequency-based lines one template trip per window.
struct Run {
    Service service;
    int direction;
    int sequence;
    int start;  // minutes after midnight of the service day
    double slowdown;
    const Window* window;  // set for frequency-based templates; valid during the visit only
};

// Calls `visit` with every run of the line in a fixed order. Cheap enough to
// repeat for each file (and for a realtime snapshot) instead of keeping the runs.
template <typename Visit>
void forEachRun(const Line& line, Visit&& visit) {
    for (int s = 0; s < ServiceCount; ++s) {
        const auto service = static_cast<Service>(s);
        const std::vector<Window> windows = windowsFor(line, service);
        if (windows.empty())
            continue;
        for (int direction = 0; direction < 2; ++direction) {
            int sequence = 0;
            if (line.frequencies != FrequencyUse::None) {
                for (const Window& window : windows)
                    visit(Run{service, direction, ++sequence, window.start, window.slowdown, &window});
                continue;
            }
            // The return direction runs half a headway later, so the ends do not depart together.
            int t = windows.front().start + (direction == 1 ? windows.front().headway / 2 : 0);
            std::size_t w = 0;
            for (;;) {
                while (w < windows.size() && t >= windows[w].end)
                    ++w;
                if (w == windows.size())
                    break;
                visit(Run{service, direction, ++sequence, t, windows[w].slowdown, nullptr});
                t += windows[w].headway;
            }
        }
    }
}

// The trip_id of a run: "BU-133-MN-0-042", templates "ME-M1-MN-0-F003".
std::string tripId(const Line& line, const Run& run);

// Seconds after midnight of the service day at which the run is at a stop
// `runSeconds` of free running from its first stop; whole minutes, as printed timetables.
int stopTimeSeconds(const Run& run, int runSeconds);

}  // namespace velmo::synth
