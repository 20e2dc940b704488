#include "core/location/EasyLocation.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/LocationSource.h"
#include "platform/runloop/ManualRunLoop.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;
using namespace velmo;

namespace {

const Bundle kBundle({{"CFBundleExecutable", "velmomac"}, {"NSLocationUsageDescription", "ok"}});

struct Reply {
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

// One request through EasyLocation on the manual loop, run until it ends (or 60 s pass).
Reply requestOnce(LocationService& service, ManualRunLoop& loop) {
    std::ostringstream out;
    EasyLocation provider(service, loop, kBundle, out);
    std::optional<Reply> reply;
    provider.getLocation(100, 100, 30, [&](auto l, auto e) { reply = Reply{l, e}; });
    loop.runPending();
    if (!reply)
        loop.advance(60s);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(Reply{});
}

}  // namespace

TEST(ParseFixedPosition, DegreesAndMetresWithinRange) {
    const std::vector<std::pair<const char*, std::tuple<double, double, double>>> cases{
        {"47.4979,19.0402", std::tuple{47.4979, 19.0402, 50.0}},
        {" 47.5 , 19.05 , 20 ", std::tuple{47.5, 19.05, 20.0}},
        {"-90,180", std::tuple{-90.0, 180.0, 50.0}},
        {"+1,-2,0", std::tuple{1.0, -2.0, 0.0}}};
    for (const auto& [text, expected] : cases) {
        const std::optional<FixedPosition> parsed = parseFixedPosition(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(std::tie(parsed->latitude, parsed->longitude, parsed->horizontalAccuracy), expected) << text;
    }
    for (const char* text : {"", "91,0", "0,200", "-90.0001,0", "47.5,", "1,2,3,4", "1,2,-5", "nan,0", "1,inf", "1e1,2",
                             "47.5x,19", "4,7.5.1"}) {
        EXPECT_FALSE(parseFixedPosition(text)) << text;
    }
}

// --- choosing the source ------------------------------------------------------------------

class LocationSourceChoiceTest : public velmo::test::TempHome {
protected:
    static UserDefaults suite() { return UserDefaults("velmomac.group"); }
    LocationServiceChoice choose(std::optional<std::string> position = std::nullopt, bool systemExists = false) {
        return chooseLocationService(loop_, kBundle, suite(), position, err_, [this, systemExists]() {
            return systemExists ? std::make_unique<FixedLocationService>(loop_, FixedPosition{1, 2, 3})
                                : std::unique_ptr<FixedLocationService>{};
        });
    }

    ManualRunLoop loop_;
    std::ostringstream err_;
};

TEST_F(LocationSourceChoiceTest, PositionArgumentWinsAndBadOnesFailAtOnce) {
    suite().setObject(kLocationSourceKey, PlistValue(std::string("nmea:/nowhere")));
    auto ok = choose("47.1,19.2,30");
    EXPECT_EQ(ok.description, "fixed");
    loop_.advance(5s);
    const Reply fixed = requestOnce(*ok.service, loop_);
    ASSERT_TRUE(fixed.location);
    EXPECT_EQ(std::tie(fixed.location->latitude, fixed.location->horizontalAccuracy), std::make_tuple(47.1, 30.0));
    EXPECT_EQ(fixed.location->timestamp, loop_.now());  // stamped when delivered
    EXPECT_EQ(err_.str(), "");

    auto bad = choose("91,0");
    EXPECT_EQ(bad.description, "invalid");
    EXPECT_EQ(err_.str(), "velmo: --position \"91,0\" is not a position LAT,LON[,ACCURACY]\n");
    EXPECT_EQ(requestOnce(*bad.service, loop_).error->code, 2);
}

TEST_F(LocationSourceChoiceTest, SystemByDefaultThenStoredFixedThenNothing) {
    EXPECT_EQ(choose(std::nullopt, true).description, "system");
    auto none = choose(std::nullopt, false);
    EXPECT_EQ(none.description, "unavailable");
    EXPECT_FALSE(none.service->locationServicesEnabled());
    EXPECT_EQ(requestOnce(*none.service, loop_).error->code, 0);

    suite().setObject(kLocationFixedKey, PlistValue(std::string("47.5,19.05")));
    EXPECT_EQ(choose(std::nullopt, true).description, "system");
    auto fallback = choose(std::nullopt, false);
    EXPECT_EQ(fallback.description, "fixed");
    EXPECT_EQ(requestOnce(*fallback.service, loop_).location->latitude, 47.5);
    EXPECT_EQ(err_.str(), "");
}

TEST_F(LocationSourceChoiceTest, BadSettingsAreNamedAndFailEveryRequestAtOnce) {
    const std::vector<std::tuple<const char*, std::optional<std::string>, std::string>> cases{
        {"fixed", "abc", "velmo: setting locationFixed \"abc\" is not a position LAT,LON[,ACCURACY]"},
        {"fixed", std::nullopt, "velmo: setting locationFixed \"\" is not a position LAT,LON[,ACCURACY]"},
        {"nmea:/no/such/log.nmea", std::nullopt,
         "velmo: NMEA log \"/no/such/log.nmea\" does not exist or is not a file"},
        {"gps", std::nullopt, "velmo: unknown locationSource \"gps\" (expected system, fixed or nmea:PATH)"}};
    for (const auto& [source, fixed, message] : cases) {
        suite().setObject(kLocationSourceKey, PlistValue(std::string(source)));
        suite().setObject(kLocationFixedKey, fixed ? PlistValue(*fixed) : PlistValue());
        err_.str("");
        auto choice = choose();
        EXPECT_EQ(choice.description, "invalid");
        EXPECT_EQ(err_.str(), message + "\n");
        const auto start = loop_.now();
        const Reply reply = requestOnce(*choice.service, loop_);
        EXPECT_EQ(reply.error ? reply.error->code : -1, 2) << source;
        EXPECT_EQ(loop_.now(), start);  // ended at once, not at the time-out
    }
}
