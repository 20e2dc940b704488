// The location back-ends: a fixed position (parsed, chosen from the arguments and the settings) and an NMEA log
// replayed by Qt's "nmea" plugin on the Qt event loop. The system source: GeoClueTest.cpp.

#include "core/location/EasyLocation.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/LocationSource.h"
#include "platform/location/QtLocationService.h"
#include "platform/runloop/ManualRunLoop.h"
#include "platform/runloop/QtRunLoop.h"
#include "tests/support/TempHome.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using namespace std::chrono_literals;
using namespace velmo;

namespace {

const Bundle kBundle({{"CFBundleExecutable", "velmomac"}, {"NSLocationUsageDescription", "ok"}});

struct Reply {
    int calls = 0;
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

// One request through EasyLocation on the manual loop, run until it ends (or 60 s pass).
Reply requestOnce(LocationService& service, ManualRunLoop& loop) {
    std::ostringstream out;
    EasyLocation provider(service, loop, kBundle, out);
    std::optional<Reply> reply;
    provider.getLocation(100, 100, 30, [&](auto l, auto e) { reply = Reply{1, l, e}; });
    loop.runPending();
    if (!reply)
        loop.advance(60s);
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(Reply{});
}

// "$BODY*CS" with the XOR checksum of BODY.
std::string sentence(const std::string& body) {
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
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

TEST(NmeaLocationService, ReplaysALogIntoAFixStampedWhenDelivered) {
    velmo::test::TempDir dir("velmo-nmea");
    const std::string path =
        dir.write("drive.nmea", sentence("GPGGA,123519,4730.000,N,01903.000,E,1,08,1.2,120.0,M,40.0,M,,") +
                                    sentence("GPRMC,123519,A,4730.000,N,01903.000,E,0.0,0.0,061226,,,A") +
                                    sentence("GPGGA,123520,4730.060,N,01903.120,E,1,08,1.2,120.0,M,40.0,M,,") +
                                    sentence("GPRMC,123520,A,4730.060,N,01903.120,E,3.0,45.0,061226,,,A"))
            .string();
    QtRunLoop loop;
    std::ostringstream err, out;
    auto service = makeNmeaLocationService(loop, path, err);
    EasyLocation provider(*service, loop, kBundle, out);
    Reply reply;
    const auto before = std::chrono::system_clock::now();
    provider.getLocation(100, 100, 5, [&](auto l, auto e) { reply = Reply{1, l, e}; });
    QElapsedTimer clock;
    clock.start();
    while (reply.calls == 0 && clock.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    ASSERT_TRUE(reply.location) << err.str();
    EXPECT_NEAR(reply.location->latitude, 47.5, 0.002);
    EXPECT_NEAR(reply.location->longitude, 19.05, 0.003);
    EXPECT_GT(reply.location->horizontalAccuracy, 0);
    EXPECT_GE(reply.location->timestamp, before - std::chrono::seconds(1));  // not the log's own date
    EXPECT_EQ(err.str(), "");
}
