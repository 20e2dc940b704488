#pragma once
// The console mode of velmomac: one departures query without a window, printed as a table or
// as JSON lines, and an exit status that tells how it ended.

#include "core/service/TripDetails.h"
#include "platform/defaults/PlistValue.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

// Exit statuses of the program.
enum ConsoleExit : int {
    kExitSuccess = 0,
    kExitQueryFailed = 1,  // the query ended with an error code; its message is on standard error
    kExitUsage = 2,        // a bad command line
    kExitNoAnswer = 3,     // the service declared an error without saying which
};

struct ConsoleOptions {
    bool once = false;
    bool json = false;
    bool help = false;
    std::optional<std::string> position;  // "LAT,LON[,ACC]", already checked
    std::optional<int> details;           // --details N: the N-th departure's trip (1-based)
};

struct CommandLine {
    ConsoleOptions options;
    std::optional<std::string> error;  // why the command line cannot be used (Hungarian)
};

// Reads the arguments after the program name.
CommandLine parseCommandLine(const std::vector<std::string>& arguments);

// The --help text.
std::string consoleHelp();

// The time column as the row view writes it: "MOST" for "!!", else the text and " perc";
// " ●" follows when the time comes from the vehicle's live position.
std::string departureTimeText(const PlistMap& item);

// The readable table of the items in the order given: a heading line and one line per item;
// nothing at all for an empty list. Control characters in the texts are left out.
std::string formatDepartureTable(const PlistList& items);

// One compact JSON object per item and line; control characters in texts are escaped.
std::string formatDepartureJsonLines(const PlistList& items);

// The stops of a trip: a heading, one line per stop (time, " ●" for a live time, name, and
// notes: passed, the user's stop, cancelled, where the vehicle is) and a last line on the
// vehicle: its place and the age of its position at `now` (Unix seconds), or `noVehicle`.
std::string formatTripTable(const TripDetails& trip, const std::optional<VehiclePosition>& vehicle,
                            const std::string& noVehicle, std::int64_t now);
// The same as one JSON object on one line: "stops" and "vehicle" (null without a position, then
// "vehicleMessage" says why).
std::string formatTripJson(const TripDetails& trip, const std::optional<VehiclePosition>& vehicle,
                           const std::string& noVehicle, std::int64_t now);

// Runs one query through the client stack built from `options` and the settings, prints the
// outcome and returns the exit status.
int runOnce(int& argc, char** argv, const ConsoleOptions& options);

}  // namespace velmo
