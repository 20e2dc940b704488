#include "tools/gtfs-synth/Timetable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace velmo::synth {

std::vector<Window> windowsFor(const Line& line, Service service) {
    const Headways& h = line.headways;
    std::vector<Window> windows;
    if (line.mode == Mode::NightBus) {
        if (service == Night)
            windows.push_back({h.first, h.last + 1, h.peak, 0.9});
        return windows;
    }
    if (service == Night)
        return windows;

    const bool road = line.mode == Mode::Tram || line.mode == Mode::Bus || line.mode == Mode::Trolleybus;
    const double rush = road ? 1.15 : 1.0;
    const int first = service == Weekday || line.allNight ? h.first : h.first + 30;
    auto add = [&](int start, int end, int headway, double slowdown) {
        start = std::max(start, first);
        end = std::min(end, h.last + 1);
        if (start < end)
            windows.push_back({start, end, headway, slowdown});
    };
    if (service == Weekday) {
        add(0, 6 * 60, h.evening, 1.0);
        add(6 * 60, 9 * 60, h.peak, rush);
        add(9 * 60, 15 * 60, h.day, 1.0);
        add(15 * 60, 18 * 60 + 30, h.peak, rush);
        add(18 * 60 + 30, 20 * 60 + 30, h.day, 1.0);
        add(20 * 60 + 30, 30 * 60, h.evening, 1.0);
    } else {
        add(0, 8 * 60, h.evening, 1.0);
        add(8 * 60, 20 * 60, h.day + h.day / 3, 1.0);
        add(20 * 60, 30 * 60, h.evening, 1.0);
    }
    return windows;
}

std::string tripId(const Line& line, const Run& run) {
    char tail[32];
    std::snprintf(tail, sizeof tail, "-%s-%d-%s%03d", kServices[run.service].code, run.direction, run.window ? "F" : "",
                  run.sequence);
    return line.id + tail;
}

int stopTimeSeconds(const Run& run, int runSeconds) {
    return run.start * 60 + static_cast<int>(std::lround(runSeconds * run.slowdown / 60.0)) * 60;
}

}  // namespace velmo::synth
