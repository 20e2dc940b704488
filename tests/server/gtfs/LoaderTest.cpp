#include "server/gtfs/Loader.h"

#include "tests/server/TestFeed.h"

#include <gtest/gtest.h>

#include <string>

using namespace velmo::gtfs;
using namespace date::literals;
using velmo::test::smallFeed;

namespace {

std::vector<int> departuresAt(const Feed& f, const std::string& stop) {
    std::vector<int> out;
    for (const auto& d : f.departuresAt(f.stopById.at(stop))) {
        out.push_back(d.departure.count());
    }
    return out;
}

std::string loadError(const MemoryDirectory& d) {
    try {
        loadFeed(d);
    } catch (const FeedError& e) {
        return e.what();
    }
    return "loaded";
}

}  // namespace

TEST(ParseTime, AcceptsGtfsTimesAndRejectsOthers) {
    struct Case {
        const char* text;
        int seconds;  // -1: rejected
    };
    const Case cases[] = {{"6:00:00", 21600},
                          {"06:00:00", 21600},
                          {"25:10:05", 90605},
                          {" 7:30:00 ", 27000},
                          {"0:00:00", 0},
                          {"100:00:00", 360000},
                          {"", -1},
                          {"6:0:00", -1},
                          {"06:60:00", -1},
                          {"6:00", -1},
                          {"ab:cd:ef", -1},
                          {"-1:00:00", -1}};
    for (const auto& c : cases) {
        const auto t = parseTime(c.text);
        if (c.seconds < 0) {
            EXPECT_FALSE(t.has_value()) << c.text;
        } else {
            ASSERT_TRUE(t.has_value()) << c.text;
            EXPECT_EQ(t->count(), c.seconds) << c.text;
        }
    }
}

TEST(ParseDate, ChecksTheCalendar) {
    EXPECT_EQ(parseDate("20250314"), date::sys_days(2025_y / 3 / 14));
    EXPECT_FALSE(parseDate("20250230"));
    EXPECT_FALSE(parseDate("2025031"));
    EXPECT_FALSE(parseDate("2025-3-1"));
}

TEST(Loader, LoadsTablesWithParentsAndIndexes) {
    const auto f = loadFeed(smallFeed());
    ASSERT_EQ(f->stops.size(), 4u);
    EXPECT_EQ(f->timezone(), "Europe/Budapest");
    const Stop& a = f->stop(f->stopById.at("A"));
    EXPECT_EQ(a.parent, f->stopById.at("P"));
    EXPECT_EQ(f->stop(f->stopById.at("P")).type, LocationType::Station);
    EXPECT_EQ(f->stop(f->stopById.at("B")).type, LocationType::Stop);
    // The last stop of a trip is no boarding opportunity.
    EXPECT_EQ(departuresAt(*f, "A"), std::vector<int>{8 * 3600});
    EXPECT_TRUE(departuresAt(*f, "C").empty());
    EXPECT_TRUE(f->calendar.active(f->trips[0].service, 2025_y / 3 / 14));
    EXPECT_FALSE(f->calendar.active(f->trips[0].service, 2026_y / 1 / 1));
}

TEST(Loader, ColumnsInAnyOrderUnpaddedHoursBomAndCrlf) {
    auto d = smallFeed();
    d.put("stop_times.txt",
          "\xEF\xBB\xBFstop_sequence,stop_id,departure_time,trip_id,arrival_time\r\n"
          "2,C,8:05:00,T1,8:05:00\r\n"
          "1,A,6:00:00,T1,6:00:00\r\n");
    const auto f = loadFeed(d);
    EXPECT_EQ(departuresAt(*f, "A"), std::vector<int>{6 * 3600});
}

TEST(Loader, InterpolatesStopsWithoutTimes) {
    auto d = smallFeed();
    d.put("stop_times.txt",
          "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
          "T1,08:00:00,08:00:00,A,1\n"
          "T1,,,B,2\n"
          "T1,,,P,3\n"
          "T1,08:09:00,08:09:00,C,4\n");
    const auto f = loadFeed(d);
    const auto times = f->stopTimesOf(f->tripById.at("T1"));
    ASSERT_EQ(times.size(), 4u);
    EXPECT_EQ(times[1].departure.count(), 8 * 3600 + 180);
    EXPECT_EQ(times[2].departure.count(), 8 * 3600 + 360);
    EXPECT_EQ(departuresAt(*f, "B"), std::vector<int>{8 * 3600 + 180});
}

TEST(Loader, SkipsBadRowsAndKeepsTheRest) {
    auto d = smallFeed();
    d.put("trips.txt",
          "route_id,service_id,trip_id\n"
          "R9,ALL,T1\n"
          "NOPE,ALL,T2\n"
          "R9,ALL,T3\n"
          "R9,ALL,T4\n");
    d.put("stop_times.txt",
          "trip_id,arrival_time,departure_time,stop_id,stop_sequence,pickup_type\n"
          "T1,08:00:00,08:00:00,A,1,\n"
          "T1,08:05:00,08:05:00,C,2,\n"
          "T1,08:07:00,08:07:00,GHOST,3,\n"
          "T3,09:00:00,09:00:00,A,1,1\n"
          "T3,09:01:00,09:01:00,B,2,0\n"
          "T3,09:03:00,09:03:00,C,3,0\n"
          "T4,nine,09:00:00,A,1,\n"
          "T4,10:00:00,10:00:00,C,2,\n");
    const auto f = loadFeed(d);
    EXPECT_FALSE(f->tripById.contains("T2"));
    // T4 keeps one stop only and cannot run.
    EXPECT_FALSE(f->tripById.contains("T4"));
    ASSERT_TRUE(f->tripById.contains("T3"));
    // pickup_type 1 at A: T3 is no boarding opportunity there.
    EXPECT_EQ(departuresAt(*f, "A"), std::vector<int>{8 * 3600});
    EXPECT_EQ(departuresAt(*f, "B"), std::vector<int>{9 * 3600 + 60});
}

TEST(Loader, CalendarDatesAddAndRemoveDays) {
    auto d = smallFeed();
    d.put("calendar.txt",
          "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
          "WD,1,1,1,1,1,0,0,20250303,20250316\n");
    d.put("calendar_dates.txt",
          "service_id,date,exception_type\n"
          "WD,20250314,2\n"
          "WD,20250315,1\n"
          "EXTRA,20250401,1\n");
    d.put("trips.txt", "route_id,service_id,trip_id\nR9,WD,T1\nR9,EXTRA,T2\n");
    d.put("stop_times.txt",
          "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
          "T1,08:00:00,08:00:00,A,1\nT1,08:05:00,08:05:00,C,2\n"
          "T2,08:00:00,08:00:00,A,1\nT2,08:05:00,08:05:00,C,2\n");
    const auto f = loadFeed(d);
    const auto wd = f->trips[f->tripById.at("T1").get()].service;
    const auto extra = f->trips[f->tripById.at("T2").get()].service;
    EXPECT_TRUE(f->calendar.active(wd, 2025_y / 3 / 13));
    EXPECT_FALSE(f->calendar.active(wd, 2025_y / 3 / 14));  // removed Friday
    EXPECT_TRUE(f->calendar.active(wd, 2025_y / 3 / 15));   // added Saturday
    EXPECT_FALSE(f->calendar.active(wd, 2025_y / 3 / 16));  // Sunday
    EXPECT_TRUE(f->calendar.active(extra, 2025_y / 4 / 1));
    EXPECT_FALSE(f->calendar.active(extra, 2025_y / 4 / 2));
    EXPECT_EQ(f->calendar.firstDay(), date::sys_days(2025_y / 3 / 3));
    EXPECT_EQ(f->calendar.lastDay(), date::sys_days(2025_y / 4 / 1));
}

TEST(Loader, FrequenciesAreExpandedIntoRuns) {
    auto d = smallFeed();
    d.put("frequencies.txt",
          "trip_id,start_time,end_time,headway_secs\n"
          "T1,06:00:00,06:30:00,600\n"
          "T1,23:50:00,24:10:00,900\n");
    const auto f = loadFeed(d);
    // Runs start at 6:00, 6:10, 6:20 and 23:50, 24:05; the template time itself is not a run.
    EXPECT_EQ(departuresAt(*f, "A"), (std::vector<int>{21600, 22200, 22800, 85800, 86700}));
}

TEST(Loader, BrokenFeedsFailWithOneClearMessage) {
    struct Case {
        const char* file;
        const char* content;  // nullptr: the file is removed
        const char* message;
    };
    const Case cases[] = {
        {"stops.txt", nullptr, "required file stops.txt is missing"},
        {"calendar.txt", nullptr, "calendar.txt or calendar_dates.txt is missing"},
        {"routes.txt", "route_id,route_short_name\nR9,9\n", "routes.txt: missing required column route_type"},
        {"agency.txt", "agency_name,agency_timezone\nX,Mars/Olympus\n", "unknown time zone Mars/Olympus"},
        {"calendar.txt",
         "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
         "ALL,0,0,0,0,0,0,0,20250101,20251231\n",
         "no usable service"},
        {"stop_times.txt", "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n", "no usable trip"},
    };
    for (const auto& c : cases) {
        auto base = smallFeed();
        velmo::gtfs::MemoryDirectory d;
        for (const char* name :
             {"agency.txt", "stops.txt", "routes.txt", "calendar.txt", "trips.txt", "stop_times.txt"}) {
            if (std::string(name) == c.file) {
                if (c.content != nullptr) {
                    d.put(name, c.content);
                }
            } else {
                d.put(name, *base.read(name));
            }
        }
        EXPECT_NE(loadError(d).find(c.message), std::string::npos) << c.file << ": " << loadError(d);
    }
}
