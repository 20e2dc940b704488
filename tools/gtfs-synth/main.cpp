// gtfs-synth: writes the timetable of an invented city as a GTFS feed.
#include "tools/gtfs-synth/FeedSink.h"
#include "tools/gtfs-synth/Realtime.h"
#include "tools/gtfs-synth/Synth.h"

#include <CLI/CLI.hpp>
// GCC 12 sees uninitialised fields in date::parse where there are none.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <date/date.h>
#include <date/tz.h>
#pragma GCC diagnostic pop

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <iostream>
#include <optional>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace velmo::synth;

namespace {

constexpr const char* kHelp = R"(Usage: gtfs-synth [OPTION]... --out DIR
  or:  gtfs-synth [OPTION]... --zip FILE
Generate the GTFS timetable of Mintaváros, an invented city, for demos and
benchmarks of the departures service. The same options always give
byte-identical files.

      --stops=N           boarding stops to create, stations come on top
                            (30..50000, default 400)
      --centre=LAT,LON    city centre in degrees (default 47.2051,19.3608)
      --start-date=DATE   first day of the calendar, YYYY-MM-DD
                            (default: today in Europe/Budapest)
      --days=D            calendar length in days (1..3660, default 365)
      --seed=S            seed of the generator (default 1)
      --out=DIR           write the feed's files into DIR
      --zip=FILE          write the feed as the zip archive FILE
      --realtime=FILE     write the city's live state (GTFS-Realtime trip
                            updates, vehicle positions, one alert) at --at
                            into FILE
      --at=TIME           the moment of --realtime: ISO 8601 with offset or
                            Z, or Europe/Budapest local time without
                            (default: now)
  -h, --help              display this help and exit
      --version           output version information and exit

At least one of --out, --zip and --realtime is required; any may be combined.
The live state uses the trip ids and service dates of the feed written with
the same options.
A one-line summary goes to standard error.

Exit status is 0 on success, 1 if the feed could not be written,
and 2 on a bad command line.

Examples:
  gtfs-synth --zip demo.zip
  gtfs-synth --stops 5000 --seed 7 --start-date 2025-03-01 --out feed/
  gtfs-synth --start-date 2025-03-01 --zip demo.zip \
             --realtime demo-rt.pb --at 2025-03-14T08:00:00
)";

int usageError(const std::string& message) {
    std::cerr << "gtfs-synth: " << message << "\nTry 'gtfs-synth --help' for more information.\n";
    return 2;
}

std::chrono::year_month_day todayInBudapest() {
    const auto local = date::make_zoned("Europe/Budapest", std::chrono::system_clock::now()).get_local_time();
    const auto day = std::chrono::floor<std::chrono::days>(local.time_since_epoch());
    return std::chrono::year_month_day{std::chrono::sys_days{day}};
}

// A folder for the files of a zip-only run, beside the archive, removed on exit.
class StagingFolder {
public:
    explicit StagingFolder(const fs::path& besides) {
        fs::path parent = besides.parent_path();
        if (parent.empty())
            parent = ".";
        std::string pattern = (parent / ".gtfs-synth-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a working folder in " + parent.string());
        path_ = pattern;
    }
    ~StagingFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// ISO 8601 with an offset or Z; without one, local time in Europe/Budapest.
std::optional<std::chrono::sys_seconds> parseTime(const std::string& text) {
    for (const char* format : {"%FT%T%Ez", "%FT%T%z", "%FT%TZ"}) {
        std::istringstream in(text);
        std::chrono::sys_seconds t;
        in >> date::parse(format, t);
        if (!in.fail() && in.peek() == EOF)
            return t;
    }
    for (const char* format : {"%FT%T", "%F %T"}) {
        std::istringstream in(text);
        date::local_seconds t;
        in >> date::parse(format, t);
        if (!in.fail() && in.peek() == EOF)
            return std::chrono::floor<std::chrono::seconds>(
                date::locate_zone("Europe/Budapest")->to_sys(t, date::choose::earliest));
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"gtfs-synth", "gtfs-synth"};
    app.set_help_flag();
    bool help = false;
    bool version = false;
    Options options;
    std::string centre;
    std::string startDate;
    std::string outDir;
    std::string zipFile;
    std::string realtimeFile;
    std::string atText;
    app.add_flag("-h,--help", help);
    app.add_flag("--version", version);
    app.add_option("--stops", options.stops);
    app.add_option("--centre", centre);
    app.add_option("--start-date", startDate);
    app.add_option("--days", options.days);
    app.add_option("--seed", options.seed);
    app.add_option("--out", outDir);
    app.add_option("--zip", zipFile);
    app.add_option("--realtime", realtimeFile);
    app.add_option("--at", atText);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return usageError(e.what());
    }
    if (help) {
        std::cout << kHelp;
        return 0;
    }
    if (version) {
        std::cout << "gtfs-synth " VELMO_VERSION "\n";
        return 0;
    }

    if (!centre.empty()) {
        const auto point = parseCentre(centre);
        if (!point)
            return usageError("invalid centre '" + centre + "': expected LAT,LON in degrees");
        options.centreLat = point->first;
        options.centreLon = point->second;
    }
    try {
        if (!startDate.empty()) {
            const auto date = parseDate(startDate);
            if (!date)
                return usageError("invalid start date '" + startDate + "': expected YYYY-MM-DD");
            options.startDate = *date;
        } else {
            options.startDate = todayInBudapest();
        }
    } catch (const std::exception& e) {
        std::cerr << "gtfs-synth: cannot tell today's date in Europe/Budapest: " << e.what() << "\n";
        return 1;
    }
    if (const auto problem = checkOptions(options))
        return usageError(*problem);
    if (outDir.empty() && zipFile.empty() && realtimeFile.empty())
        return usageError("nothing to write: give --out DIR, --zip FILE or --realtime FILE");
    auto at = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    if (!atText.empty()) {
        const auto parsed = parseTime(atText);
        if (!parsed)
            return usageError("invalid time '" + atText + "': expected e.g. 2025-03-14T08:00:00+01:00");
        at = *parsed;
    }
    if (!realtimeFile.empty()) {
        try {
            RealtimeSummary summary;
            const std::string bytes = generateRealtime(options, at, &summary);
            std::ofstream out(realtimeFile, std::ios::binary | std::ios::trunc);
            out << bytes;
            out.close();
            if (!out)
                throw std::runtime_error("cannot write " + realtimeFile);
            std::cerr << "gtfs-synth: live state at " << date::format("%FT%TZ", at) << ": " << summary.tripUpdates
                      << " trip updates (" << summary.delayed << " late, " << summary.cancelled << " cancelled, "
                      << summary.skipped << " skipping a stop, " << summary.added << " added), " << summary.vehicles
                      << " vehicles, " << summary.alerts << " alert\n";
        } catch (const std::exception& e) {
            std::cerr << "gtfs-synth: " << e.what() << "\n";
            return 1;
        }
        if (outDir.empty() && zipFile.empty())
            return 0;
    }

    try {
        std::optional<StagingFolder> staging;
        fs::path folder = outDir;
        if (folder.empty()) {
            staging.emplace(zipFile);
            folder = staging->path();
        }
        DirectorySink sink(folder);
        const Summary summary = generateFeed(options, sink);
        if (!zipFile.empty())
            writeZip(zipFile, folder, sink.fileNames(), options.startDate);
        std::cerr << "gtfs-synth: " << summary.stops << " stops (+" << summary.stations << " stations), "
                  << summary.routes << " routes, " << summary.trips << " trips, " << summary.stopTimes
                  << " stop times, " << summary.frequencies << " frequencies\n";
    } catch (const std::exception& e) {
        std::cerr << "gtfs-synth: " << e.what() << "\n";
        return 1;
    }
    return 0;
}
