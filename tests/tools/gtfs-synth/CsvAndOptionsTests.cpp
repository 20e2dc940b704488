// The CSV writer under the feed, and the options of a generated city.

#include "CsvTable.h"

#include "tools/gtfs-synth/CsvWriter.h"
#include "tools/gtfs-synth/Synth.h"

#include <gtest/gtest.h>

namespace velmo::synth {
namespace {

using namespace std::chrono;
using test::parseCsv;

TEST(CsvWriter, AwkwardTextRoundTripsAndOnlyItIsQuoted) {
    const std::vector<std::string> values = {
        "Kavicsos sor, forduló", "\"Hullám\" hajójárat", "egy \"\" két", "sor\ntörés", ",", "\"", "", "Ősz – ünnep"};
    MemorySink sink;
    {
        CsvWriter out(sink, "t.txt", {"id", "name"});
        for (std::size_t i = 0; i < values.size(); ++i)
            out.number(static_cast<std::int64_t>(i)).text(values[i]).endRow();
    }
    const auto table = parseCsv(sink.files.at("t.txt"));
    ASSERT_EQ(table.rows.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(table.at(i, "name"), values[i]) << i;
    EXPECT_NE(sink.files.at("t.txt").find("\n7,Ősz – ünnep\n"), std::string::npos);
}

TEST(CsvWriter, NumbersTimesAndCoordinates) {
    MemorySink sink;
    CsvWriter out(sink, "t.txt", {"n", "lat", "lon", "t1", "t2", "t3", "e"});
    out.number(-42).degrees(47.4979).degrees(-3.5).time(0).time(25 * 3600 + 10 * 60).time(99 * 3600 + 3599);
    out.empty().endRow();
    EXPECT_THROW(out.time(-1), std::logic_error);
    EXPECT_THROW(out.time(100 * 3600), std::logic_error);
    out.close();
    EXPECT_EQ(sink.files.at("t.txt"), "n,lat,lon,t1,t2,t3,e\n-42,47.497900,-3.500000,00:00:00,25:10:00,99:59:59,\n");
}

TEST(SynthOptions, CentreAndDateParsing) {
    EXPECT_EQ(parseCentre("47.4979,19.0402"), std::make_pair(47.4979, 19.0402));
    EXPECT_EQ(parseCentre(" 46.25 , 20.15 "), std::make_pair(46.25, 20.15));
    EXPECT_EQ(parseCentre("-33.9,-70.6"), std::make_pair(-33.9, -70.6));
    for (const char* bad : {"47.5", "47.5;19", "91,19", "47,181", "47.5x,19", "nan,19", ","})
        EXPECT_FALSE(parseCentre(bad)) << bad;
    EXPECT_EQ(parseDate("2024-02-29"), year_month_day(year{2024}, February, day{29}));
    for (const char* bad : {"2025-02-29", "2025-13-01", "2025-3-14", "20250314", "2025-03-1x", "", "+025-03-14"})
        EXPECT_FALSE(parseDate(bad)) << bad;
    EXPECT_EQ(gtfsDate(year_month_day(year{2025}, March, day{4})), "20250304");
}

TEST(SynthOptions, BadOptionsWriteNothing) {
    const auto with = [](auto change) {
        Options options{.stops = kMinStops, .centreLat = 80, .days = 1};
        change(options);
        return options;
    };
    EXPECT_FALSE(checkOptions(with([](Options&) {})));  // every limit itself is allowed
    for (const Options& options :
         {with([](Options& o) { o.stops = kMinStops - 1; }), with([](Options& o) { o.stops = kMaxStops + 1; }),
          with([](Options& o) { o.days = 0; }), with([](Options& o) { o.days = kMaxDays + 1; }),
          with([](Options& o) { o.startDate = year_month_day(year{2025}, February, day{29}); }),
          with([](Options& o) { o.centreLat = 80.5; })}) {
        EXPECT_TRUE(checkOptions(options));
        MemorySink sink;
        EXPECT_THROW(generateFeed(options, sink), std::invalid_argument);
        EXPECT_TRUE(sink.files.empty());
    }
}

}  // namespace
}  // namespace velmo::synth
