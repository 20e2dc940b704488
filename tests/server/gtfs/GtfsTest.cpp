#include "server/gtfs/Csv.h"
#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/gtfs/Merge.h"

#include "tests/support/Feeds.h"
#include "tests/support/TempHome.h"

#include <gmock/gmock.h>
#include <spdlog/sinks/ostream_sink.h>
#include <spdlog/spdlog.h>
#include <zip.h>

#include <sstream>

using namespace velmo::gtfs;
using namespace date::literals;
using velmo::test::smallCity;
using Rows = std::vector<std::vector<std::string>>;
using ::testing::ThrowsMessage;

namespace {

std::vector<int> departuresAt(const Feed& f, const std::string& stop) {
    std::vector<int> out;
    for (const auto& d : f.departuresAt(f.stopById.at(stop)))
        out.push_back(d.departure.count());
    return out;
}

}  // namespace

TEST(Loader, ParsesTimesAndDates) {
    const std::pair<const char*, int> times[] = {
        {"6:00:00", 21600}, {"06:00:00", 21600}, {"25:10:05", 90605}, {" 7:30:00 ", 27000}, {"100:00:00", 360000},
        {"", -1},           {"6:0:00", -1},      {"06:60:00", -1},    {"6:00", -1},         {"-1:00:00", -1}};
    for (const auto& [text, seconds] : times)
        EXPECT_EQ(parseTime(text).value_or(Seconds(-1)).count(), seconds) << text;
    EXPECT_EQ(std::tuple(parseDate("20250314"), parseDate("20250230"), parseDate("2025031"), parseDate("2025031x")),
              std::tuple(date::sys_days(2025_y / 3 / 14), std::nullopt, std::nullopt, std::nullopt));
}

TEST(Loader, ColumnOrderInterpolationAndBadRows) {
    auto b = smallCity();
    b.files["stop_times.txt"] =
        "\xEF\xBB\xBFstop_sequence,stop_id,departure_time,trip_id,arrival_time,pickup_type\r\n"
        "1,A,6:00:00,T1,6:00:00,\r\n2,B,,T1,,\r\n3,P,,T1,,\r\n4,C,6:09:00,T1,6:09:00,\r\n5,GHOST,6:10:00,T1,,\r\n"
        "1,A,9:00:00,T3,9:00:00,1\r\n2,B,9:01:00,T3,9:01:00,0\r\n3,C,9:03:00,T3,9:03:00,0\r\n"
        "1,A,nine,T4,,\r\n2,C,10:00:00,T4,10:00:00,\r\n";
    b.add("trips.txt", "NOPE,ALL,T2,,0\nR9,ALL,T3,,0\nR9,ALL,T4,,0\n");
    const auto f = b.load();
    EXPECT_EQ(std::tuple(f->timezone(), f->stop(f->stopById.at("A")).parent, f->stop(f->stopById.at("P")).type),
              std::tuple("Europe/Budapest", f->stopById.at("P"), LocationType::Station));
    EXPECT_FALSE(f->tripById.contains("T2"));  // unknown route
    EXPECT_FALSE(f->tripById.contains("T4"));  // one usable stop left
    // Stops without times are spaced evenly; pickup_type 1 is no boarding.
    EXPECT_EQ(departuresAt(*f, "A"), std::vector<int>{6 * 3600});
    EXPECT_EQ(departuresAt(*f, "B"), (std::vector<int>{6 * 3600 + 180, 9 * 3600 + 60}));
    EXPECT_TRUE(departuresAt(*f, "C").empty());  // a trip's last stop is no boarding
    EXPECT_EQ(f->stopTimesOf(f->tripById.at("T1")).size(), 4u);
}

// Ten warnings of a kind, then one count; the feed's texts escaped, forging no line or escape.
TEST(Loader, WarningsOfAKindAreCappedAndEscaped) {
    auto b = smallCity();
    for (int i = 0; i < 25; ++i) {
        // A quoted trip_id holding a terminal escape and a line break; one stop only: skipped.
        b.trip("\"X\x1b[2J\r\nforged" + std::to_string(i) + "\"", "R9", {{"A", "07:00:00"}});
        b.add("stops.txt", "S" + std::to_string(i) + ",Nowhere,47.5,19.0,0,GHOST\n");
    }
    std::stringstream log;
    const auto previous = spdlog::default_logger();
    spdlog::set_default_logger(
        std::make_shared<spdlog::logger>("capture", std::make_shared<spdlog::sinks::ostream_sink_mt>(log)));
    b.load();
    spdlog::set_default_logger(previous);
    std::map<std::string, int> lines;
    for (std::string line; std::getline(log, line);) {
        EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
        EXPECT_EQ(line.find("] forged"), std::string::npos) << line;
        ++lines[line.find("trip X") != std::string::npos   ? "trip"
                : line.find("stop S") != std::string::npos ? "stop"
                                                           : line];
    }
    EXPECT_EQ(lines["trip"], 10);
    EXPECT_EQ(lines["stop"], 10);
    EXPECT_EQ(lines.size(), 4u) << "one count for each kind";
}

TEST(Loader, CalendarDatesAndFrequencies) {
    auto b = smallCity();
    b.files["calendar.txt"] =
        "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
        "WD,1,1,1,1,1,0,0,20250303,20250316\n";
    b.add("calendar_dates.txt", "WD,20250314,2\nWD,20250315,1\nEXTRA,20250401,1\n");
    b.files["trips.txt"] = "route_id,service_id,trip_id\nR9,WD,T1\n";
    b.trip("T2", "R9", {{"A", "07:00:00"}, {"C", "07:05:00"}}, 0, "", "EXTRA");
    b.add("frequencies.txt", "T1,06:00:00,06:30:00,600\nT1,23:50:00,24:10:00,900\n");
    const auto f = b.load();
    const auto wd = f->trip(f->tripById.at("T1")).service;
    const auto extra = f->trip(f->tripById.at("T2")).service;
    const auto active = [&f](ServiceIdx service, date::year_month_day day) { return f->calendar.active(service, day); };
    // Weekdays from 3 to 16 March but for Friday the 14th, and Saturday the 15th; the extra day only.
    EXPECT_EQ(std::tuple(active(wd, 2025_y / 3 / 13), active(wd, 2025_y / 3 / 14), active(wd, 2025_y / 3 / 15),
                         active(wd, 2025_y / 3 / 16), active(extra, 2025_y / 4 / 1), active(extra, 2025_y / 4 / 2)),
              std::tuple(true, false, true, false, true, false));
    EXPECT_EQ(std::pair(f->calendar.firstDay(), f->calendar.lastDay()),
              std::pair(date::sys_days(2025_y / 3 / 3), date::sys_days(2025_y / 4 / 1)));
    // Runs every headway from start to before end; the template's own time is no run.
    EXPECT_EQ(departuresAt(*f, "A"), (std::vector<int>{21600, 22200, 22800, 25200, 85800, 86700}));
}

TEST(Loader, BrokenFeedsFailWithOneClearMessage) {
    const std::pair<const char*, const char*> noRun{
        "calendar.txt",
        "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
        "ALL,0,0,0,0,0,0,0,20250101,20251231\n"};
    // The file replaced (removed when its content is null), and the message.
    const std::pair<std::pair<const char*, const char*>, const char*> cases[] = {
        {{"calendar.txt", nullptr}, "calendar.txt or calendar_dates.txt is missing"},
        {{"routes.txt", "route_id,route_short_name\nR9,9\n"}, "routes.txt: missing required column route_type"},
        {{"agency.txt", "agency_name,agency_timezone\nX,Mars/Olympus\n"}, "unknown time zone Mars/Olympus"},
        {noRun, "no usable service"},
        {{"stop_times.txt", "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"}, "no usable trip"},
    };
    for (const auto& [file, wanted] : cases) {
        auto b = smallCity();
        b.files.erase("calendar_dates.txt");
        if (file.second == nullptr) {
            b.files.erase(file.first);
        } else {
            b.files[file.first] = file.second;
        }
        EXPECT_THAT([&] { b.load(); }, ThrowsMessage<FeedError>(::testing::HasSubstr(wanted)));
    }
}

TEST(CsvReader, ReadsWhatFeedsWrite) {
    // The first two columns of each row: quoting, short and long rows, no line end at the end.
    const std::pair<const char*, Rows> cases[] = {
        {"\xEF\xBB\xBFid,name\r\n1,\"Deák tér, M\"\r\n2,\"A \"\"B\"\" C\"\r\n3,\"two\r\nlines\"\r\n\r\n4,  padded  "
         "\r\n",
         {{"1", "Deák tér, M"}, {"2", "A \"B\" C"}, {"3", "two\r\nlines"}, {"4", "padded"}}},
        {"a,b,c\n1\n1,2,3,4\n", {{"1", ""}, {"1", "2"}}},
        {"a\r\nlast", {{"last", ""}}},
        {"", {}},
    };
    for (const auto& [text, rows] : cases) {
        CsvReader r(text);
        Rows got;
        while (r.next())
            got.push_back({std::string(r.field(0)), std::string(r.field(1))});
        EXPECT_EQ(got, rows) << text;
    }
    CsvReader r("\uFEFFa,b\n1,\"x\ny\"\n2,z\n");
    EXPECT_EQ(std::tuple(r.column("a"), r.column("b"), r.column("missing")), std::tuple(0, 1, -1));  // past the BOM
    ASSERT_TRUE(r.next() && r.next());
    EXPECT_EQ(std::tuple(r.line(), r.field(-1)), std::tuple(4u, ""));  // physical lines, for messages
}

// The same layouts as zip archives and as folders, each file holding its own path: which
// stops.txt is read, or how the ambiguity is refused.
TEST(Directory, FindsTheFeedFolderAtAnyDepthAndRefusesToGuess) {
    velmo::test::TempDir dir;
    // The files, the inner folder asked for, and the stops.txt read or the refusal ("holds ...").
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"feed/stops.txt", "", "feed/stops.txt"},
        {"2025/gtfs/bus/stops.txt 2025/gtfs/bus/trips.txt __MACOSX/2025/x/stops.txt doc/readme.txt", "",
         "2025/gtfs/bus/stops.txt"},
        {"stops.txt old/stops.txt", "", "stops.txt"},  // the top wins
        {"gtfs/bus/stops.txt gtfs/subway/agency.txt", "",
         "holds several feeds, in gtfs/bus, gtfs/subway: choose one with inner = \"gtfs/bus\""},
        {"gtfs/bus/stops.txt gtfs/subway/stops.txt", "/gtfs/subway/", "gtfs/subway/stops.txt"},
        {"gtfs/bus/stops.txt", "gtfs/rail", "holds no feed files in gtfs/rail (feeds found in: gtfs/bus)"},
        {"google_transit.zip readme.txt", "",
         "holds no feed files, only the zip archive(s) google_transit.zip inside it: unpack"},
    };
    int n = 0;
    for (const auto& [files, inner, want] : cases) {
        const auto base = dir.path() / std::to_string(++n);
        std::istringstream in(files);
        const std::vector<std::string> names{std::istream_iterator<std::string>(in), {}};
        int err = 0;
        zip_t* z = zip_open((base.string() + ".zip").c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        for (const auto& f : names) {
            dir.write(std::to_string(n) + "/" + f, f);
            zip_file_add(z, f.c_str(), zip_source_buffer(z, f.data(), f.size(), 0), 0);
        }
        ASSERT_EQ(zip_close(z), 0);
        const bool refused = want.starts_with("holds");
        for (const auto& path : {base.string() + ".zip", base.string()}) {
            try {
                const auto d = openDirectory(path, inner);
                EXPECT_EQ(std::pair(d->read("stops.txt"), d->read("routes.txt")),
                          std::pair(std::optional(want), std::optional<std::string>()))
                    << path;
                EXPECT_FALSE(refused) << path;
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()).substr(0, path.size()), path);
                EXPECT_NE(std::string(e.what()).find(want), std::string::npos) << path << ": " << e.what();
                EXPECT_TRUE(refused) << path << ": " << e.what();
            }
        }
    }
    dir.write("junk.zip", "not a zip");
    EXPECT_THROW(openDirectory((dir.path() / "junk.zip").string()), std::runtime_error);
    EXPECT_THROW(openDirectory((dir.path() / "nope.zip").string()), std::runtime_error);
}

// Feed b beside smallCity as feed a: which of b's stops become a's, every other id prefixed,
// departures at a shared stop in time order across the feeds.
TEST(Merge, OneFeedKeepsItsIdsSeveralArePrefixedAndSharedStopsAreOne) {
    const auto a = smallCity().stop("D", "Kálvin tér", 47.4900, 19.0600).load();
    EXPECT_EQ(mergeFeeds({{"a", a}}), a);
    // b's stop, its name and position, and the stop it is in the merged feed.
    const std::tuple<std::string, std::string, double, double, std::string> stops[] = {
        {"A", "Deák tér", 47.4970, 19.0540, "a:A"},   // same id, name and place
        {"B", "Deák tér", 47.49705, 19.0542, "a:B"},  // 6 m off
        {"C", "Astoria", 47.4935, 19.0660, "b:C"},    // 56 m off
        {"D", "Kálvin", 47.4900, 19.0600, "b:D"},     // another name
        {"E", "Deák tér", 47.4970, 19.0540, "b:E"},   // another id
    };
    velmo::test::FeedBuilder b;
    for (const auto& [id, name, lat, lon, merged] : stops)
        b.stop(id, name, lat, lon);
    b.route("R9", "9", 0).trip("T1", "R9", {{"A", "07:58:00", "Kelenföld"}, {"C", "08:10:00"}});
    const auto m = mergeFeeds({{"a", a}, {"b", b.load()}});
    for (const auto& [id, name, lat, lon, merged] : stops)
        EXPECT_EQ(m->stop(m->stopById.at("b:" + id)).id, merged) << id;
    EXPECT_EQ(m->stops.size(), 5u + 3u);
    EXPECT_EQ(m->stop(m->stopById.at("a:A")).parent, m->stopById.at("a:P"));
    std::vector<std::string> trips;
    for (const auto& d : m->departuresAt(m->stopById.at("a:A")))
        trips.push_back(m->trip(d.trip).id + "@" + std::to_string(d.departure.count()));
    EXPECT_EQ(trips, (std::vector<std::string>{"b:T1@28680", "a:T1@28800"}));
    const auto& bTrip = m->trip(m->tripById.at("b:T1"));
    const auto times = m->stopTimesOf(m->tripById.at("b:T1"));
    EXPECT_EQ(std::tuple(m->route(bTrip.route).id, m->route(bTrip.route).type, m->serviceIds[bTrip.service.get()],
                         m->stopHeadsigns[times.front().headsign], m->stop(times.back().stop).id),
              std::tuple("b:R9", 0, "b:ALL", "Kelenföld", "b:C"));
    EXPECT_TRUE(m->calendar.active(bTrip.service, 2025_y / 3 / 14));
    EXPECT_EQ(m->partKeys, (std::vector<std::string>{"a", "b"}));

    auto vienna = velmo::test::smallCity();
    vienna.files["agency.txt"] = "agency_name,agency_url,agency_timezone\nW,https://w.example,Europe/Vienna\n";
    const auto merge = [&, w = vienna.load()] { mergeFeeds({{"a", a}, {"w", w}}); };
    EXPECT_THAT(merge, ThrowsMessage<FeedError>("feed w runs in time zone Europe/Vienna, feed a in Europe/Budapest: "
                                                "the feeds of one city must share a time zone"));
}
