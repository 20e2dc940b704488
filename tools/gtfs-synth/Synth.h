#pragma once

#include "tools/gtfs-synth/FeedSink.h"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmo::synth {

// What to build. The same options always give byte-identical files.
struct Options {
    int stops = 400;             // boarding points (location_type 0), stations come on top
    double centreLat = 47.2051;  // an invented town in the plain, not a real city's centre
    double centreLon = 19.3608;
    std::chrono::year_month_day startDate{std::chrono::year{2025}, std::chrono::January, std::chrono::day{1}};
    int days = 365;  // calendar length, start date included
    std::uint64_t seed = 1;
};

inline constexpr int kMinStops = 30;
inline constexpr int kMaxStops = 50000;
inline constexpr int kMaxDays = 3660;

// What was written, for the one-line report.
struct Summary {
    std::int64_t stops = 0;
    std::int64_t stations = 0;
    std::int64_t routes = 0;
    std::int64_t trips = 0;
    std::int64_t stopTimes = 0;
    std::int64_t frequencies = 0;
};

// An English sentence describing the first bad option, or nothing when all are usable.
std::optional<std::string> checkOptions(const Options& options);

// Writes agency, stops, routes, calendar, calendar_dates, trips, stop_times,
// frequencies and feed_info into the sink, one file after another, without
// holding the timetable in memory. Throws std::invalid_argument for bad options.
Summary generateFeed(const Options& options, FeedSink& sink);

// The names of the files generateFeed writes, in the order it writes them.
const std::vector<std::string>& feedFileNames();

// "47.5,19.04" → latitude and longitude; nothing when malformed or out of range.
std::optional<std::pair<double, double>> parseCentre(std::string_view text);

// "2025-03-14" → that date; nothing unless it is a real calendar date.
std::optional<std::chrono::year_month_day> parseDate(std::string_view text);

// The GTFS form of a date: "20250314".
std::string gtfsDate(std::chrono::year_month_day date);

}  // namespace velmo::synth
