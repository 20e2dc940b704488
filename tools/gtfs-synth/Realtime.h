#pragma once

#include "tools/gtfs-synth/Synth.h"

#include <chrono>
#include <string>

namespace velmo::synth {

struct RealtimeSummary {
    int tripUpdates = 0;
    int delayed = 0;
    int cancelled = 0;
    int skipped = 0;  // stops a run passes without stopping
    int added = 0;    // runs the timetable does not have
    int vehicles = 0;
    int alerts = 0;
};

// The live state of the city of `options` at `at`, as one GTFS-Realtime feed
// message: trip updates for the runs under way or leaving within the hour
// (some late, one cancelled, one skipping the central stop), one added run
// through the central stop, a position for each vehicle under way and one
// alert. The cancelled, skipped and added calls at the central stop (the one
// nearest the centre) fall within half an hour, so that a query there shows them. Trip ids and service dates are those
// of the static feed of the same options. The same options and time always give the same bytes.
std::string generateRealtime(const Options& options, std::chrono::sys_seconds at, RealtimeSummary* summary = nullptr);

}  // namespace velmo::synth
