#include "tools/gtfs-synth/Synth.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmo::synth {
namespace {

using namespace std::chrono;

TEST(SynthOptions, CentreParsing) {
    struct Case {
        const char* text;
        bool ok;
        double lat;
        double lon;
    };
    const Case cases[] = {
        {"47.4979,19.0402", true, 47.4979, 19.0402},
        {" 46.25 , 20.15 ", true, 46.25, 20.15},
        {"-33.9,-70.6", true, -33.9, -70.6},
        {"47.5", false, 0, 0},
        {"47.5;19", false, 0, 0},
        {"91,19", false, 0, 0},
        {"47,181", false, 0, 0},
        {"47.5x,19", false, 0, 0},
        {"nan,19", false, 0, 0},
        {",", false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const auto centre = parseCentre(c.text);
        ASSERT_EQ(centre.has_value(), c.ok);
        if (c.ok) {
            EXPECT_DOUBLE_EQ(centre->first, c.lat);
            EXPECT_DOUBLE_EQ(centre->second, c.lon);
        }
    }
}

TEST(SynthOptions, DateParsing) {
    EXPECT_EQ(parseDate("2025-03-14"), year_month_day(year{2025}, March, day{14}));
    EXPECT_EQ(parseDate("2024-02-29"), year_month_day(year{2024}, February, day{29}));
    for (const char* bad : {"2025-02-29", "2025-13-01", "2025-3-14", "20250314", "2025-03-1x", "", "+025-03-14"}) {
        SCOPED_TRACE(bad);
        EXPECT_FALSE(parseDate(bad).has_value());
    }
    EXPECT_EQ(gtfsDate(year_month_day(year{2025}, March, day{4})), "20250304");
}

TEST(SynthOptions, RangesAreChecked) {
    Options good;
    EXPECT_FALSE(checkOptions(good).has_value());

    auto with = [](auto change) {
        Options options;
        change(options);
        return options;
    };
    const Options bad[] = {
        with([](Options& o) { o.stops = kMinStops - 1; }),
        with([](Options& o) { o.stops = kMaxStops + 1; }),
        with([](Options& o) { o.days = 0; }),
        with([](Options& o) { o.days = kMaxDays + 1; }),
        with([](Options& o) { o.startDate = year_month_day(year{2025}, February, day{30}); }),
        with([](Options& o) { o.centreLat = 85; }),
    };
    for (const Options& options : bad) {
        EXPECT_TRUE(checkOptions(options).has_value());
        MemorySink sink;
        EXPECT_THROW(generateFeed(options, sink), std::invalid_argument);
        EXPECT_TRUE(sink.files.empty());
    }
}

}  // namespace
}  // namespace velmo::synth
