#pragma once
// The zero of a local service day's GTFS times, header-only so that the feed generator can use
// it without linking the server's libraries.

#include <date/tz.h>

#include <chrono>

namespace velmo::gtfs {

// "Noon minus 12 h" of a local service day: GTFS times count from it, and it differs from
// midnight on the days the clocks change.
inline std::chrono::sys_seconds serviceDayZero(const date::time_zone* zone, date::local_days day) {
    using namespace std::chrono_literals;
    return date::floor<std::chrono::seconds>(zone->to_sys(day + 12h, date::choose::earliest)) - 12h;
}

}  // namespace velmo::gtfs
