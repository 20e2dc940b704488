// A generated feed read back whole: reproducible, complete, and consistent the way a GTFS
// consumer (tarvod) needs it.

#include "CsvTable.h"

#include "tests/support/TempHome.h"
#include "tools/gtfs-synth/FeedSink.h"
#include "tools/gtfs-synth/Synth.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cmath>
#include <map>
#include <set>

namespace velmo::synth {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using test::CsvTable;
using test::parseTime;

Options smallCity(int stops = 120) {
    Options options;
    options.stops = stops;
    options.centreLat = 46.0;
    options.centreLon = 18.0;
    options.seed = 7;
    return options;
}

struct Feed {
    MemorySink sink;
    Summary summary;
    std::map<std::string, CsvTable> tables;

    explicit Feed(const Options& options) : summary(generateFeed(options, sink)) {
        for (const auto& [name, text] : sink.files)
            tables.emplace(name, test::parseCsv(text));
    }
    const CsvTable& operator[](const std::string& name) const { return tables.at(name); }
    // The values of one column, in file order.
    std::vector<std::string> column(const std::string& file, const std::string& name) const {
        std::vector<std::string> values;
        for (std::size_t r = 0; r < tables.at(file).rows.size(); ++r)
            values.push_back(tables.at(file).at(r, name));
        return values;
    }
    std::set<std::string> distinct(const std::string& file, const std::string& name) const {
        const auto values = column(file, name);
        return {values.begin(), values.end()};
    }
};

const Feed& sharedFeed() {
    static const Feed feed(smallCity());
    return feed;
}

TEST(SynthFeed, SameOptionsGiveIdenticalFilesAndEveryFile) {
    MemorySink again;
    generateFeed(smallCity(), again);
    EXPECT_EQ(again.files, sharedFeed().sink.files);
    EXPECT_EQ(again.files.size(), feedFileNames().size());

    Options other = smallCity();
    other.seed = 8;
    MemorySink third;
    generateFeed(other, third);
    EXPECT_NE(again.files.at("stops.txt"), third.files.at("stops.txt"));
}

TEST(SynthFeed, ZipIsReproducibleAndHoldsEveryFile) {
    const velmo::test::TempDir temp("gtfs-synth");
    const fs::path folder = temp.path() / "feed";
    DirectorySink sink(folder);
    generateFeed(smallCity(40), sink);
    writeZip(temp.path() / "a.zip", folder, sink.fileNames(), smallCity().startDate);
    // The files' own modification times must not leak into the archive.
    for (const std::string& name : sink.fileNames())
        fs::last_write_time(folder / name, fs::last_write_time(folder / name) - hours(30));
    writeZip(temp.path() / "b.zip", folder, sink.fileNames(), smallCity().startDate);
    EXPECT_EQ(temp.read("a.zip"), temp.read("b.zip"));

    int error = 0;
    zip_t* archive = zip_open((temp.path() / "a.zip").c_str(), ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr);
    ASSERT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(feedFileNames().size()));
    for (std::size_t i = 0; i < feedFileNames().size(); ++i)
        EXPECT_EQ(zip_get_name(archive, i, 0), feedFileNames()[i]);
    zip_stat_t stops;
    EXPECT_EQ(zip_stat(archive, "stops.txt", 0, &stops), 0);
    EXPECT_EQ(stops.size, fs::file_size(folder / "stops.txt"));
    zip_close(archive);
}

TEST(SynthFeed, StopsAsRequestedAroundTheCentreWithStations) {
    for (int n : {kMinStops, 77, 260}) {
        const Feed feed(smallCity(n));
        const auto types = feed.column("stops.txt", "location_type");
        EXPECT_EQ(std::count(types.begin(), types.end(), "0"), n);
        EXPECT_EQ(feed.summary.stops, n);
        EXPECT_EQ(feed.summary.stations, std::count(types.begin(), types.end(), "1"));
        EXPECT_EQ(types.size(), static_cast<std::size_t>(feed.summary.stops + feed.summary.stations));
    }
    const CsvTable& stops = sharedFeed()["stops.txt"];
    std::map<std::string, std::size_t> row;  // stop id → row
    std::map<std::string, int> platforms;    // station id → platforms
    for (std::size_t r = 0; r < stops.rows.size(); ++r) {
        EXPECT_TRUE(row.emplace(stops.at(r, "stop_id"), r).second) << "duplicate " << stops.at(r, "stop_id");
        EXPECT_LT(std::hypot(std::stod(stops.at(r, "stop_lat")) - 46.0, std::stod(stops.at(r, "stop_lon")) - 18.0),
                  0.05);
        if (stops.at(r, "location_type") == "1")
            platforms[stops.at(r, "stop_id")] = 0;
    }
    ASSERT_FALSE(platforms.empty());
    for (std::size_t r = 0; r < stops.rows.size(); ++r) {
        const std::string& parent = stops.at(r, "parent_station");
        if (parent.empty())
            continue;
        SCOPED_TRACE(stops.at(r, "stop_id"));
        ASSERT_TRUE(platforms.count(parent));
        ++platforms[parent];
        EXPECT_TRUE(stops.at(r, "location_type") == "0" && !stops.at(r, "platform_code").empty());
        EXPECT_EQ(stops.at(r, "stop_name"), stops.at(row[parent], "stop_name"));
    }
    for (const auto& [station, count] : platforms)
        EXPECT_GE(count, 2) << station;
}

// Every trip of a known route and service, its stop times in order at boarding stops,
// boarding only before the last stop and alighting only after the first, the headsign
// naming the last stop, every boarding stop served; frequency templates start at their trip.
TEST(SynthFeed, TripsStopTimesAndFrequenciesAreConsistent) {
    const Feed& feed = sharedFeed();
    const std::set<std::string> routes = feed.distinct("routes.txt", "route_id");
    const std::set<std::string> services = feed.distinct("calendar.txt", "service_id");
    EXPECT_EQ(routes.size(), feed["routes.txt"].rows.size());
    std::map<std::string, std::string> boarding;  // stop id → name
    const CsvTable& stops = feed["stops.txt"];
    for (std::size_t r = 0; r < stops.rows.size(); ++r)
        if (stops.at(r, "location_type") == "0")
            boarding[stops.at(r, "stop_id")] = stops.at(r, "stop_name");
    const CsvTable& trips = feed["trips.txt"];
    std::map<std::string, std::size_t> tripRow;
    for (std::size_t r = 0; r < trips.rows.size(); ++r) {
        EXPECT_TRUE(tripRow.emplace(trips.at(r, "trip_id"), r).second) << "duplicate trip";
        EXPECT_TRUE(routes.count(trips.at(r, "route_id")) && services.count(trips.at(r, "service_id")));
        EXPECT_TRUE(trips.at(r, "direction_id") == "0" || trips.at(r, "direction_id") == "1");
    }

    std::map<std::string, std::vector<std::size_t>> stopTimes;  // trip → its rows, in file order
    const CsvTable& times = feed["stop_times.txt"];
    for (std::size_t r = 0; r < times.rows.size(); ++r)
        stopTimes[times.at(r, "trip_id")].push_back(r);
    EXPECT_EQ(stopTimes.size(), tripRow.size()) << "trips without stop times, or stop times without a trip";
    std::set<std::string> served;
    bool pastMidnight = false;
    for (const auto& [trip, rows] : stopTimes) {
        SCOPED_TRACE(trip);
        ASSERT_TRUE(tripRow.count(trip) && rows.size() >= 2);
        for (std::size_t k = 0; k < rows.size(); ++k) {
            const std::size_t r = rows[k];
            ASSERT_TRUE(boarding.count(times.at(r, "stop_id"))) << times.at(r, "stop_id");
            served.insert(times.at(r, "stop_id"));
            EXPECT_EQ(times.at(r, "stop_sequence"), std::to_string(k + 1));
            EXPECT_GE(parseTime(times.at(r, "departure_time")), parseTime(times.at(r, "arrival_time")));
            if (k > 0) {
                EXPECT_GE(parseTime(times.at(r, "arrival_time")), parseTime(times.at(rows[k - 1], "departure_time")));
            }
            EXPECT_EQ(times.at(r, "drop_off_type"), k == 0 ? "1" : "");
            EXPECT_EQ(times.at(r, "pickup_type"), k + 1 == rows.size() ? "1" : "");
            pastMidnight = pastMidnight || parseTime(times.at(r, "arrival_time")) >= 24 * 3600;
        }
        EXPECT_EQ(trips.at(tripRow[trip], "trip_headsign"), boarding[times.at(rows.back(), "stop_id")]);
    }
    EXPECT_EQ(served.size(), boarding.size()) << "boarding stops without departures";
    EXPECT_TRUE(pastMidnight) << "night times run past 24:00:00";

    const CsvTable& frequencies = feed["frequencies.txt"];
    ASSERT_FALSE(frequencies.rows.empty());
    for (std::size_t r = 0; r < frequencies.rows.size(); ++r) {
        const std::string& trip = frequencies.at(r, "trip_id");
        ASSERT_TRUE(stopTimes.count(trip)) << trip;
        const int start = parseTime(frequencies.at(r, "start_time"));
        EXPECT_EQ(parseTime(times.at(stopTimes[trip].front(), "departure_time")), start) << trip;
        EXPECT_LT(start, parseTime(frequencies.at(r, "end_time"))) << trip;
        EXPECT_GT(std::stoi(frequencies.at(r, "headway_secs")), 0) << trip;
    }
    EXPECT_EQ(feed.distinct("frequencies.txt", "exact_times"), (std::set<std::string>{"0", "1"}));
}

TEST(SynthFeed, CalendarCoversTheDaysAndHolidaysOnWeekdaysRunTheWeekendTimetable) {
    Options options = smallCity(40);
    options.startDate = year_month_day(year{2024}, December, day{30});
    options.days = 5;
    const Feed feed(options);
    EXPECT_EQ(feed.column("calendar.txt", "start_date"), std::vector<std::string>(3, "20241230"));
    EXPECT_EQ(feed.column("calendar.txt", "end_date"), std::vector<std::string>(3, "20250103"));
    EXPECT_EQ(feed["feed_info.txt"].at(0, "feed_start_date"), "20241230");
    EXPECT_EQ(feed["feed_info.txt"].at(0, "feed_end_date"), "20250103");
    // New Year's Day, a Wednesday: the weekday services stop and the weekend ones run.
    EXPECT_EQ(feed["calendar_dates.txt"].rows,
              (std::vector<std::vector<std::string>>{{"MUNKANAP", "20250101", "2"}, {"HETVEGE", "20250101", "1"}}));
    // A holiday on a Saturday changes nothing: 2022-01-01 was one.
    options.startDate = year_month_day(year{2022}, January, day{1});
    options.days = 2;
    EXPECT_TRUE(Feed(options)["calendar_dates.txt"].rows.empty());
}

// Half past midnight has departures: on the calendar's first day from the lines that run all
// night, on every later day from them and from the night buses that left the evening before.
TEST(SynthFeed, HalfPastMidnightHasDepartures) {
    Options options = smallCity();
    options.startDate = year_month_day(year{2025}, March, day{17});  // a Monday, no holiday near
    options.days = 3;
    const Feed feed(options);
    std::map<std::string, std::string> lineOf;  // trip → route_short_name
    std::map<std::string, std::string> names;   // route → route_short_name
    for (std::size_t r = 0; r < feed["routes.txt"].rows.size(); ++r)
        names[feed["routes.txt"].at(r, "route_id")] = feed["routes.txt"].at(r, "route_short_name");
    std::map<std::string, std::string> serviceOf;
    for (std::size_t r = 0; r < feed["trips.txt"].rows.size(); ++r) {
        lineOf[feed["trips.txt"].at(r, "trip_id")] = names[feed["trips.txt"].at(r, "route_id")];
        serviceOf[feed["trips.txt"].at(r, "trip_id")] = feed["trips.txt"].at(r, "service_id");
    }
    // Service days run from the calendar's first day; calendar_dates holds no exception here.
    const CsvTable& calendar = feed["calendar.txt"];
    ASSERT_TRUE(feed["calendar_dates.txt"].rows.empty());
    const char* const weekdays[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
    auto runs = [&](const std::string& service, int dayIndex) {
        if (dayIndex < 0 || dayIndex >= options.days)
            return false;
        const weekday wd{sys_days(options.startDate) + days(dayIndex)};
        for (std::size_t r = 0; r < calendar.rows.size(); ++r)
            if (calendar.at(r, "service_id") == service)
                return calendar.at(r, weekdays[wd.c_encoding()]) == "1";
        return false;
    };
    constexpr int kFrom = 30 * 60;
    constexpr int kTo = 60 * 60;
    const CsvTable& times = feed["stop_times.txt"];
    for (int dayIndex = 0; dayIndex < options.days; ++dayIndex) {
        std::set<std::string> lines;  // lines leaving some stop between 00:30 and 01:00
        for (std::size_t r = 0; r < times.rows.size(); ++r) {
            const std::string& trip = times.at(r, "trip_id");
            const int t = parseTime(times.at(r, "departure_time"));
            if (times.at(r, "pickup_type") != "1" &&
                ((t >= kFrom && t < kTo && runs(serviceOf[trip], dayIndex)) ||
                 (t >= 86400 + kFrom && t < 86400 + kTo && runs(serviceOf[trip], dayIndex - 1))))
                lines.insert(lineOf[trip]);
        }
        const auto night = std::count_if(lines.begin(), lines.end(),
                                         [](const std::string& l) { return l.size() == 3 && l[0] == '9'; });
        EXPECT_GE(lines.size() - night, 1U) << "day " << dayIndex << ": no all-night line";
        EXPECT_EQ(night > 0, dayIndex > 0) << "day " << dayIndex;
    }
}

}  // namespace
}  // namespace velmo::synth
