#pragma once

#include "tools/gtfs-synth/Synth.h"

#include <chrono>
#include <string>

namespace velmo::synth {

struct RealtimeSummary {
    int tripUpdates = 0;
    int delayed = 0;
    int cancelled = 0;
    int vehicles = 0;
    int alerts = 0;
};

// The live state of the city of `options` at `at`, as one GTFS-Realtime feed
// message: trip updates for the runs under way or leaving within the hour
// (some late, one cancelled), a position for each vehicle under way and one
// alert. Trip ids and service dates are those of the static feed of the same
// options. The same options and time always give the same bytes.
std::string generateRealtime(const Options& options, std::chrono::sys_seconds at, RealtimeSummary* summary = nullptr);

}  // namespace velmo::synth
