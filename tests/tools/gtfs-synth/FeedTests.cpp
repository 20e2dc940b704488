#include "CsvTable.h"

#include "tools/gtfs-synth/FeedSink.h"
#include "tools/gtfs-synth/Synth.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <unistd.h>

namespace velmo::synth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::CsvTable;
using test::parseCsv;
using test::parseTime;

Options smallCity(int stops = 120) {
    Options options;
    options.stops = stops;
    options.startDate = year_month_day(year{2025}, January, day{1});
    options.days = 365;
    options.seed = 7;
    return options;
}

struct Feed {
    MemorySink sink;
    Summary summary;
    std::map<std::string, CsvTable> tables;

    explicit Feed(const Options& options) {
        summary = generateFeed(options, sink);
        for (const auto& [name, text] : sink.files)
            tables.emplace(name, parseCsv(text));
    }
    const CsvTable& operator[](const std::string& name) const { return tables.at(name); }
};

// One feed shared by the tests that only read it.
const Feed& sharedFeed() {
    static const Feed feed(smallCity());
    return feed;
}

double metres(double lat1, double lon1, double lat2, double lon2) {
    const double kDegree = 111320.0;
    const double dx = (lon1 - lon2) * kDegree * std::cos(lat1 * 3.14159265358979 / 180.0);
    return std::hypot((lat1 - lat2) * kDegree, dx);
}

bool validUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 9;
        if (extra == 9 || i + extra >= text.size() + (extra == 0 ? 1 : 0))
            return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2)
                return false;
        i += extra + 1;
    }
    return true;
}

class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::path(::testing::TempDir()) / "gtfs-synth-test-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SynthFeed, SameOptionsGiveIdenticalFiles) {
    MemorySink first;
    MemorySink second;
    generateFeed(smallCity(), first);
    generateFeed(smallCity(), second);
    EXPECT_EQ(first.files, second.files);

    std::set<std::string> expected(feedFileNames().begin(), feedFileNames().end());
    std::set<std::string> written;
    for (const auto& entry : first.files)
        written.insert(entry.first);
    EXPECT_EQ(written, expected);

    Options other = smallCity();
    other.seed = 8;
    MemorySink third;
    generateFeed(other, third);
    EXPECT_NE(first.files.at("stops.txt"), third.files.at("stops.txt"));
}

TEST(SynthFeed, ZipIsReproducibleAndHoldsEveryFile) {
    TempFolder temp;
    const fs::path folder = temp.path() / "feed";
    DirectorySink sink(folder);
    generateFeed(smallCity(40), sink);
    const Options options = smallCity(40);
    writeZip(temp.path() / "a.zip", folder, sink.fileNames(), options.startDate);
    // The files' own modification times must not leak into the archive.
    for (const std::string& name : sink.fileNames())
        fs::last_write_time(folder / name, fs::last_write_time(folder / name) - hours(30));
    writeZip(temp.path() / "b.zip", folder, sink.fileNames(), options.startDate);
    const std::string a = readFile(temp.path() / "a.zip");
    ASSERT_FALSE(a.empty());
    EXPECT_EQ(a, readFile(temp.path() / "b.zip"));

    int error = 0;
    zip_t* archive = zip_open((temp.path() / "a.zip").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    ASSERT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(feedFileNames().size()));
    for (std::size_t i = 0; i < feedFileNames().size(); ++i)
        EXPECT_EQ(zip_get_name(archive, i, 0), feedFileNames()[i]);
    zip_stat_t stat;
    ASSERT_EQ(zip_stat(archive, "stops.txt", 0, &stat), 0);
    std::string stops(stat.size, '\0');
    zip_file_t* file = zip_fopen(archive, "stops.txt", 0);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(zip_fread(file, stops.data(), stops.size()), static_cast<zip_int64_t>(stops.size()));
    zip_fclose(file);
    zip_close(archive);
    EXPECT_EQ(stops, readFile(folder / "stops.txt"));
}

TEST(SynthFeed, BoardingStopCountMatchesRequest) {
    for (int n : {kMinStops, 31, 77, 260}) {
        SCOPED_TRACE(n);
        const Feed feed(smallCity(n));
        const CsvTable& stops = feed["stops.txt"];
        const auto type = stops.column("location_type");
        const auto boarding =
            std::count_if(stops.rows.begin(), stops.rows.end(), [&](const auto& row) { return row[type] == "0"; });
        const auto stations =
            std::count_if(stops.rows.begin(), stops.rows.end(), [&](const auto& row) { return row[type] == "1"; });
        EXPECT_EQ(boarding, n);
        EXPECT_EQ(boarding + stations, static_cast<long>(stops.rows.size()));
        EXPECT_EQ(feed.summary.stops, n);
        EXPECT_EQ(feed.summary.stations, stations);
    }
}

TEST(SynthFeed, EveryRouteTypeIsPresent) {
    const CsvTable& routes = sharedFeed()["routes.txt"];
    std::set<std::string> types;
    std::set<std::string> ids;
    bool nightByNumber = false;
    for (std::size_t r = 0; r < routes.rows.size(); ++r) {
        types.insert(routes.at(r, "route_type"));
        EXPECT_TRUE(ids.insert(routes.at(r, "route_id")).second) << "duplicate " << routes.at(r, "route_id");
        EXPECT_FALSE(routes.at(r, "route_short_name").empty());
        EXPECT_NE(routes.at(r, "route_long_name").find(" – "), std::string::npos);
        const std::string& name = routes.at(r, "route_short_name");
        if (routes.at(r, "route_type") == "3" && name.size() == 3 && name[0] == '9')
            nightByNumber = true;
    }
    EXPECT_EQ(types, (std::set<std::string>{"0", "1", "2", "3", "4", "11", "705"}));
    EXPECT_TRUE(nightByNumber) << "a night line with basic type 3 and a 9xx number";
}

TEST(SynthFeed, StationsHaveTwoOrMorePlatforms) {
    const CsvTable& stops = sharedFeed()["stops.txt"];
    std::map<std::string, int> platforms;  // station id → children
    std::map<std::string, std::string> names;
    std::map<std::string, std::pair<double, double>> positions;
    std::set<std::string> ids;
    for (std::size_t r = 0; r < stops.rows.size(); ++r) {
        EXPECT_TRUE(ids.insert(stops.at(r, "stop_id")).second);
        if (stops.at(r, "location_type") == "1") {
            EXPECT_TRUE(stops.at(r, "parent_station").empty());
            platforms.emplace(stops.at(r, "stop_id"), 0);
            names[stops.at(r, "stop_id")] = stops.at(r, "stop_name");
            positions[stops.at(r, "stop_id")] = {std::stod(stops.at(r, "stop_lat")),
                                                 std::stod(stops.at(r, "stop_lon"))};
        }
    }
    ASSERT_FALSE(platforms.empty());
    for (std::size_t r = 0; r < stops.rows.size(); ++r) {
        const std::string& parent = stops.at(r, "parent_station");
        if (parent.empty())
            continue;
        EXPECT_EQ(stops.at(r, "location_type"), "0");
        ASSERT_TRUE(platforms.count(parent)) << stops.at(r, "stop_id") << " has unknown parent " << parent;
        ++platforms[parent];
        EXPECT_FALSE(stops.at(r, "platform_code").empty());
        EXPECT_EQ(stops.at(r, "stop_name"), names[parent]);
        const auto& [lat, lon] = positions[parent];
        EXPECT_LT(metres(std::stod(stops.at(r, "stop_lat")), std::stod(stops.at(r, "stop_lon")), lat, lon), 60.0)
            << "platform " << stops.at(r, "stop_id") << " far from its station";
    }
    for (const auto& [station, count] : platforms)
        EXPECT_GE(count, 2) << station;
}

TEST(SynthFeed, TripsAndStopTimesAreConsistent) {
    const Feed& feed = sharedFeed();
    const CsvTable& stops = feed["stops.txt"];
    const CsvTable& trips = feed["trips.txt"];
    const CsvTable& times = feed["stop_times.txt"];

    std::map<std::string, std::string> boarding;  // stop id → name, location_type 0 only
    for (std::size_t r = 0; r < stops.rows.size(); ++r)
        if (stops.at(r, "location_type") == "0")
            boarding[stops.at(r, "stop_id")] = stops.at(r, "stop_name");
    std::set<std::string> routes;
    for (std::size_t r = 0; r < feed["routes.txt"].rows.size(); ++r)
        routes.insert(feed["routes.txt"].at(r, "route_id"));
    std::set<std::string> services;
    for (std::size_t r = 0; r < feed["calendar.txt"].rows.size(); ++r)
        services.insert(feed["calendar.txt"].at(r, "service_id"));

    std::map<std::string, std::size_t> tripRow;
    for (std::size_t r = 0; r < trips.rows.size(); ++r) {
        EXPECT_TRUE(tripRow.emplace(trips.at(r, "trip_id"), r).second) << "duplicate trip";
        EXPECT_TRUE(routes.count(trips.at(r, "route_id")));
        EXPECT_TRUE(services.count(trips.at(r, "service_id")));
        const std::string& direction = trips.at(r, "direction_id");
        EXPECT_TRUE(direction == "0" || direction == "1");
    }

    struct Seen {
        int count = 0;
        int lastSequence = 0;
        int lastDeparture = -1;
        std::string lastStop;
        std::string lastPickup;
    };
    std::map<std::string, Seen> seen;
    const auto tripCol = times.column("trip_id");
    for (const auto& row : times.rows) {
        const std::string& trip = row[tripCol];
        ASSERT_TRUE(tripRow.count(trip)) << "stop time of unknown trip " << trip;
        const std::string& stop = row[times.column("stop_id")];
        ASSERT_TRUE(boarding.count(stop)) << "stop time at unknown or non-boarding stop " << stop;
        const int arrival = parseTime(row[times.column("arrival_time")]);
        const int departure = parseTime(row[times.column("departure_time")]);
        const int sequence = std::stoi(row[times.column("stop_sequence")]);
        Seen& s = seen[trip];
        EXPECT_EQ(sequence, s.lastSequence + 1) << trip;
        EXPECT_GE(departure, arrival) << trip;
        EXPECT_GE(arrival, s.lastDeparture) << trip << " goes back in time at " << sequence;
        EXPECT_EQ(row[times.column("drop_off_type")], s.count == 0 ? "1" : "") << trip;
        s.count++;
        s.lastSequence = sequence;
        s.lastDeparture = departure;
        s.lastStop = stop;
        s.lastPickup = row[times.column("pickup_type")];
    }
    EXPECT_EQ(seen.size(), tripRow.size()) << "trips without stop times";
    for (const auto& [trip, s] : seen) {
        EXPECT_GE(s.count, 2) << trip;
        EXPECT_EQ(s.lastPickup, "1") << trip << ": no boarding at the terminus";
        EXPECT_EQ(trips.at(tripRow[trip], "trip_headsign"), boarding[s.lastStop]) << trip;
    }
}

TEST(SynthFeed, EveryBoardingStopIsServed) {
    const Feed& feed = sharedFeed();
    std::set<std::string> served;
    const CsvTable& times = feed["stop_times.txt"];
    for (const auto& row : times.rows)
        served.insert(row[times.column("stop_id")]);
    const CsvTable& stops = feed["stops.txt"];
    for (std::size_t r = 0; r < stops.rows.size(); ++r)
        if (stops.at(r, "location_type") == "0") {
            EXPECT_TRUE(served.count(stops.at(r, "stop_id"))) << stops.at(r, "stop_id") << " has no departures";
        }
}

// First-stop departures of each non-frequency trip, by route, service and direction.
std::map<std::string, std::vector<int>> departuresByLine(const Feed& feed) {
    const CsvTable& trips = feed["trips.txt"];
    std::map<std::string, std::string> key;
    for (std::size_t r = 0; r < trips.rows.size(); ++r)
        key[trips.at(r, "trip_id")] =
            trips.at(r, "route_id") + "|" + trips.at(r, "service_id") + "|" + trips.at(r, "direction_id");
    std::set<std::string> templates;
    const CsvTable& frequencies = feed["frequencies.txt"];
    for (std::size_t r = 0; r < frequencies.rows.size(); ++r)
        templates.insert(frequencies.at(r, "trip_id"));
    std::map<std::string, std::vector<int>> result;
    const CsvTable& times = feed["stop_times.txt"];
    for (const auto& row : times.rows) {
        const std::string& trip = row[times.column("trip_id")];
        if (row[times.column("stop_sequence")] == "1" && !templates.count(trip))
            result[key[trip]].push_back(parseTime(row[times.column("departure_time")]));
    }
    for (auto& [line, departures] : result)
        std::sort(departures.begin(), departures.end());
    return result;
}

std::map<std::string, std::string> routeTypes(const Feed& feed) {
    std::map<std::string, std::string> types;
    const CsvTable& routes = feed["routes.txt"];
    for (std::size_t r = 0; r < routes.rows.size(); ++r)
        types[routes.at(r, "route_id")] = routes.at(r, "route_type") + "|" + routes.at(r, "route_short_name");
    return types;
}

bool isNight(const std::string& typeAndName) {
    return typeAndName.rfind("705|", 0) == 0 || typeAndName.rfind("3|9", 0) == 0;
}

TEST(SynthFeed, DayLinesRunOftenInPeaksAndRarelyInTheEvening) {
    const Feed& feed = sharedFeed();
    const auto types = routeTypes(feed);
    int checkedLines = 0;
    for (const auto& [key, departures] : departuresByLine(feed)) {
        const std::string route = key.substr(0, key.find('|'));
        const std::string& type = types.at(route);
        const bool streetLine =
            (type.rfind("0|", 0) == 0 || type.rfind("3|", 0) == 0 || type.rfind("11|", 0) == 0) && !isNight(type);
        if (!streetLine || key.find("|MUNKANAP|") == std::string::npos)
            continue;
        ++checkedLines;
        SCOPED_TRACE(key);
        for (std::size_t i = 1; i < departures.size(); ++i) {
            const int gap = (departures[i] - departures[i - 1]) / 60;
            const int hour = departures[i - 1] / 3600;
            if ((hour >= 7 && hour < 8) || (hour >= 16 && hour < 17)) {
                EXPECT_GE(gap, 5);
                EXPECT_LE(gap, 10);
            } else if (hour >= 10 && hour < 14) {
                EXPECT_GE(gap, 8);
                EXPECT_LE(gap, 15);
            } else if (hour >= 21 && hour < 23) {
                EXPECT_GE(gap, 15);
                EXPECT_LE(gap, 30);
            }
        }
        EXPECT_LT(departures.front(), 6 * 3600);
        EXPECT_GT(departures.back(), 22 * 3600);
    }
    EXPECT_GT(checkedLines, 10);
}

TEST(SynthFeed, NightLinesRunAfterElevenWithTimesPastMidnight) {
    const Feed& feed = sharedFeed();
    const auto types = routeTypes(feed);
    int nightLines = 0;
    for (const auto& [key, departures] : departuresByLine(feed)) {
        if (!isNight(types.at(key.substr(0, key.find('|')))))
            continue;
        ++nightLines;
        SCOPED_TRACE(key);
        EXPECT_NE(key.find("|EJSZAKA|"), std::string::npos);
        EXPECT_GE(departures.front(), 23 * 3600);
        EXPECT_LE(departures.back(), 29 * 3600);
        EXPECT_GT(departures.back(), 24 * 3600);
        for (std::size_t i = 1; i < departures.size(); ++i) {
            const int gap = (departures[i] - departures[i - 1]) / 60;
            EXPECT_GE(gap, 30);
            EXPECT_LE(gap, 60);
        }
    }
    EXPECT_GE(nightLines, 2);

    const CsvTable& times = feed["stop_times.txt"];
    const auto late = std::count_if(times.rows.begin(), times.rows.end(),
                                    [&](const auto& row) { return row[times.column("arrival_time")] >= "25:00:00"; });
    EXPECT_GT(late, 0);
}

TEST(SynthFeed, FrequencyTemplatesAreConsistent) {
    const Feed& feed = sharedFeed();
    const CsvTable& frequencies = feed["frequencies.txt"];
    ASSERT_FALSE(frequencies.rows.empty());
    std::map<std::string, int> firstDeparture;
    const CsvTable& times = feed["stop_times.txt"];
    for (const auto& row : times.rows)
        if (row[times.column("stop_sequence")] == "1")
            firstDeparture[row[times.column("trip_id")]] = parseTime(row[times.column("departure_time")]);
    std::set<std::string> exactTimes;
    std::set<std::string> trips;
    for (std::size_t r = 0; r < frequencies.rows.size(); ++r) {
        const std::string& trip = frequencies.at(r, "trip_id");
        SCOPED_TRACE(trip);
        ASSERT_TRUE(firstDeparture.count(trip));
        EXPECT_TRUE(trips.insert(trip).second);
        const int start = parseTime(frequencies.at(r, "start_time"));
        const int end = parseTime(frequencies.at(r, "end_time"));
        const int headway = std::stoi(frequencies.at(r, "headway_secs"));
        EXPECT_LT(start, end);
        EXPECT_GE(headway, 120);
        EXPECT_LE(headway, 1800);
        EXPECT_EQ(firstDeparture[trip], start);
        exactTimes.insert(frequencies.at(r, "exact_times"));
    }
    EXPECT_EQ(exactTimes, (std::set<std::string>{"0", "1"}));
}

TEST(SynthFeed, CalendarStartsOnTheGivenDate) {
    Options options = smallCity(40);
    options.startDate = year_month_day(year{2024}, December, day{30});
    options.days = 5;
    const Feed feed(options);
    const CsvTable& calendar = feed["calendar.txt"];
    ASSERT_EQ(calendar.rows.size(), 3u);
    for (std::size_t r = 0; r < calendar.rows.size(); ++r) {
        EXPECT_EQ(calendar.at(r, "start_date"), "20241230");
        EXPECT_EQ(calendar.at(r, "end_date"), "20250103");
    }
    EXPECT_EQ(feed["feed_info.txt"].at(0, "feed_start_date"), "20241230");
    EXPECT_EQ(feed["feed_info.txt"].at(0, "feed_end_date"), "20250103");

    // New Year's Day, a Wednesday, runs the weekend timetable.
    const CsvTable& exceptions = feed["calendar_dates.txt"];
    ASSERT_EQ(exceptions.rows.size(), 2u);
    EXPECT_EQ(exceptions.at(0, "service_id"), "MUNKANAP");
    EXPECT_EQ(exceptions.at(0, "date"), "20250101");
    EXPECT_EQ(exceptions.at(0, "exception_type"), "2");
    EXPECT_EQ(exceptions.at(1, "service_id"), "HETVEGE");
    EXPECT_EQ(exceptions.at(1, "date"), "20250101");
    EXPECT_EQ(exceptions.at(1, "exception_type"), "1");

    // A holiday on a Saturday changes nothing; 2022-01-01 was one.
    options.startDate = year_month_day(year{2022}, January, day{1});
    options.days = 2;
    EXPECT_TRUE(Feed(options)["calendar_dates.txt"].rows.empty());
}

TEST(SynthFeed, CalendarCoversWeekdaysWeekendsAndNights) {
    const CsvTable& calendar = sharedFeed()["calendar.txt"];
    std::map<std::string, std::string> pattern;
    for (std::size_t r = 0; r < calendar.rows.size(); ++r) {
        std::string days;
        for (const char* day : {"monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday"})
            days += calendar.at(r, day);
        pattern[calendar.at(r, "service_id")] = days;
    }
    EXPECT_EQ(pattern, (std::map<std::string, std::string>{
                           {"MUNKANAP", "1111100"}, {"HETVEGE", "0000011"}, {"EJSZAKA", "1111111"}}));
}

TEST(SynthFeed, NamesWithCommasAndQuotesSurviveTheRoundTrip) {
    const Feed& feed = sharedFeed();
    const CsvTable& stops = feed["stops.txt"];
    std::string withComma;
    for (std::size_t r = 0; r < stops.rows.size() && withComma.empty(); ++r)
        if (stops.at(r, "stop_name").find(", ") != std::string::npos)
            withComma = stops.at(r, "stop_name");
    ASSERT_FALSE(withComma.empty()) << "the feed should exercise quoting";
    EXPECT_NE(feed.sink.files.at("stops.txt").find("\"" + withComma + "\""), std::string::npos);

    const CsvTable& routes = feed["routes.txt"];
    bool quoteFound = false;
    for (std::size_t r = 0; r < routes.rows.size(); ++r)
        if (routes.at(r, "route_long_name").rfind("\"Hullám\" hajójárat: ", 0) == 0)
            quoteFound = true;
    EXPECT_TRUE(quoteFound);
    EXPECT_NE(feed.sink.files.at("routes.txt").find("\"\"\"Hullám\"\" hajójárat: "), std::string::npos);
}

TEST(SynthFeed, FilesAreUtf8WithLineFeeds) {
    const Feed& feed = sharedFeed();
    for (const auto& [name, text] : feed.sink.files) {
        SCOPED_TRACE(name);
        EXPECT_TRUE(validUtf8(text));
        EXPECT_EQ(text.find('\r'), std::string::npos);
        ASSERT_FALSE(text.empty());
        EXPECT_EQ(text.back(), '\n');
    }
    const CsvTable& agency = feed["agency.txt"];
    ASSERT_EQ(agency.rows.size(), 1u);
    EXPECT_EQ(agency.at(0, "agency_name"), "Mintavárosi Közlekedési Vállalat");
    EXPECT_EQ(agency.at(0, "agency_timezone"), "Europe/Budapest");
    EXPECT_EQ(agency.at(0, "agency_url").rfind("https://", 0), 0u);
}

TEST(SynthFeed, StopsLieOnAStreetGridAroundTheCentre) {
    Options options = smallCity(200);
    options.centreLat = 46.0;
    options.centreLon = 18.0;
    const Feed feed(options);
    const CsvTable& stops = feed["stops.txt"];
    std::vector<std::pair<double, double>> points;
    for (std::size_t r = 0; r < stops.rows.size(); ++r)
        if (stops.at(r, "location_type") == "0" && stops.at(r, "parent_station").empty())
            points.emplace_back(std::stod(stops.at(r, "stop_lat")), std::stod(stops.at(r, "stop_lon")));
    ASSERT_GT(points.size(), 100u);
    std::vector<double> nearest;
    for (const auto& p : points) {
        EXPECT_LT(metres(p.first, p.second, 46.0, 18.0), 4000.0);
        double best = 1e9;
        for (const auto& q : points)
            if (&p != &q)
                best = std::min(best, metres(p.first, p.second, q.first, q.second));
        nearest.push_back(best);
    }
    std::sort(nearest.begin(), nearest.end());
    EXPECT_GT(nearest.front(), 200.0);
    EXPECT_GT(nearest[nearest.size() / 2], 280.0);
    EXPECT_LT(nearest[nearest.size() / 2], 420.0);
}

TEST(SynthFeed, SummaryCountsWhatWasWritten) {
    const Feed& feed = sharedFeed();
    EXPECT_EQ(feed.summary.routes, static_cast<std::int64_t>(feed["routes.txt"].rows.size()));
    EXPECT_EQ(feed.summary.trips, static_cast<std::int64_t>(feed["trips.txt"].rows.size()));
    EXPECT_EQ(feed.summary.stopTimes, static_cast<std::int64_t>(feed["stop_times.txt"].rows.size()));
    EXPECT_EQ(feed.summary.frequencies, static_cast<std::int64_t>(feed["frequencies.txt"].rows.size()));
}

}  // namespace
}  // namespace velmo::synth
