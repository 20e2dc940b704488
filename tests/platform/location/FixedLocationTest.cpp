#include "core/location/EasyLocation.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/location/FixedLocationService.h"
#include "platform/location/LocationSource.h"
#include "platform/runloop/ManualRunLoop.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>

using namespace std::chrono_literals;
using namespace velmo;

namespace {

struct ParseCase {
    const char* text;
    bool valid;
    double latitude = 0, longitude = 0, accuracy = 0;
};

class ParseFixedPosition : public ::testing::TestWithParam<ParseCase> {};

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
    if (!reply) {
        loop.advance(60s);
    }
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(Reply{});
}

}  // namespace

TEST_P(ParseFixedPosition, Text) {
    const ParseCase& c = GetParam();
    const auto parsed = parseFixedPosition(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid) << c.text;
    if (c.valid) {
        EXPECT_DOUBLE_EQ(parsed->latitude, c.latitude);
        EXPECT_DOUBLE_EQ(parsed->longitude, c.longitude);
        EXPECT_DOUBLE_EQ(parsed->horizontalAccuracy, c.accuracy);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseFixedPosition,
    ::testing::Values(ParseCase{"47.4979,19.0402", true, 47.4979, 19.0402, 50},
                      ParseCase{" 47.5 , 19.05 , 20 ", true, 47.5, 19.05, 20}, ParseCase{"-90,180", true, -90, 180, 50},
                      ParseCase{"+1,-2,0", true, 1, -2, 0}, ParseCase{"abc", false}, ParseCase{"", false},
                      ParseCase{"91,0", false}, ParseCase{"0,200", false}, ParseCase{"-90.0001,0", false},
                      ParseCase{"47.5", false}, ParseCase{"47.5,", false}, ParseCase{"1,2,3,4", false},
                      ParseCase{"1,2,-5", false}, ParseCase{"nan,0", false}, ParseCase{"1,inf", false},
                      ParseCase{"47.5;19.05", false}, ParseCase{"1e1,2", false}, ParseCase{"47.5x,19", false}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

TEST(FixedLocationService, AlwaysAuthorisedAndOneFixStampedNowPerStart) {
    ManualRunLoop loop;
    FixedLocationService service(loop, {47.5, 19.05, 50});
    EXPECT_EQ(service.authorizationStatus(), AuthorizationStatus::authorizedWhenInUse);
    EXPECT_TRUE(service.locationServicesEnabled());
    loop.advance(5s);
    const Reply reply = requestOnce(service, loop);
    ASSERT_TRUE(reply.location);
    EXPECT_EQ(reply.location->latitude, 47.5);
    EXPECT_EQ(reply.location->longitude, 19.05);
    EXPECT_EQ(reply.location->horizontalAccuracy, 50);
    EXPECT_EQ(reply.location->timestamp, loop.now());
}

// --- choosing the source ------------------------------------------------------------------

class LocationSourceChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmo-location-source-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        setenv("XDG_CONFIG_HOME", dir_.c_str(), 1);
        suite_ = std::make_unique<UserDefaults>("velmomac.group");
    }
    void TearDown() override {
        suite_.reset();
        std::filesystem::remove_all(dir_);
        unsetenv("XDG_CONFIG_HOME");
    }
    LocationServiceChoice choose(std::vector<std::string> arguments = {"velmomac"}, bool systemExists = false) {
        return chooseLocationService(loop_, kBundle, *suite_, arguments, err_, [this, systemExists]() {
            return systemExists ? std::make_unique<FixedLocationService>(loop_, FixedPosition{1, 2, 3})
                                : std::unique_ptr<FixedLocationService>{};
        });
    }

    std::string dir_;
    std::unique_ptr<UserDefaults> suite_;
    ManualRunLoop loop_;
    std::ostringstream err_;
};

TEST_F(LocationSourceChoiceTest, PositionArgumentWinsAndBadOnesFailAtOnce) {
    suite_->setObject(kLocationSourceKey, PlistValue(std::string("nmea:/nowhere")));
    auto ok = choose({"velmomac", "--position", "47.1,19.2,30"});
    EXPECT_EQ(ok.description, "fixed");
    EXPECT_EQ(requestOnce(*ok.service, loop_).location->horizontalAccuracy, 30);
    EXPECT_EQ(choose({"velmomac", "--position=47.1,19.2"}).description, "fixed");
    EXPECT_EQ(err_.str(), "");

    auto bad = choose({"velmomac", "--position", "91,0"});
    EXPECT_EQ(bad.description, "invalid");
    EXPECT_EQ(err_.str(), "velmo: --position \"91,0\" is not a position LAT,LON[,ACCURACY]\n");
    const auto start = loop_.now();
    const Reply reply = requestOnce(*bad.service, loop_);
    ASSERT_TRUE(reply.error);
    EXPECT_EQ(reply.error->code, 2);
    EXPECT_EQ(loop_.now(), start);  // ended at once, not at the time-out
}

TEST_F(LocationSourceChoiceTest, SystemByDefaultThenStoredFixedThenNothing) {
    EXPECT_EQ(choose({}, true).description, "system");
    auto none = choose({}, false);
    EXPECT_EQ(none.description, "unavailable");
    EXPECT_FALSE(none.service->locationServicesEnabled());
    EXPECT_EQ(requestOnce(*none.service, loop_).error->code, 0);

    suite_->setObject(kLocationFixedKey, PlistValue(std::string("47.5,19.05")));
    EXPECT_EQ(choose({}, true).description, "system");
    auto fallback = choose({}, false);
    EXPECT_EQ(fallback.description, "fixed");
    EXPECT_EQ(requestOnce(*fallback.service, loop_).location->latitude, 47.5);
    EXPECT_EQ(err_.str(), "");
}

struct BadSetting {
    const char* source;
    const char* fixed;  // nullptr: not stored
    const char* message;
};

class LocationSourceBadSetting : public LocationSourceChoiceTest, public ::testing::WithParamInterface<BadSetting> {};

TEST_P(LocationSourceBadSetting, NamesTheValueAndFailsWithCodeTwo) {
    const BadSetting& c = GetParam();
    suite_->setObject(kLocationSourceKey, PlistValue(std::string(c.source)));
    if (c.fixed) {
        suite_->setObject(kLocationFixedKey, PlistValue(std::string(c.fixed)));
    }
    auto choice = choose();
    EXPECT_EQ(choice.description, "invalid");
    EXPECT_EQ(err_.str(), std::string(c.message) + "\n");
    const Reply reply = requestOnce(*choice.service, loop_);
    ASSERT_TRUE(reply.error);
    EXPECT_EQ(reply.error->code, 2);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocationSourceBadSetting,
    ::testing::Values(
        BadSetting{"fixed", "abc", "velmo: setting locationFixed \"abc\" is not a position LAT,LON[,ACCURACY]"},
        BadSetting{"fixed", "0,200", "velmo: setting locationFixed \"0,200\" is not a position LAT,LON[,ACCURACY]"},
        BadSetting{"fixed", nullptr, "velmo: setting locationFixed \"\" is not a position LAT,LON[,ACCURACY]"},
        BadSetting{"nmea:/no/such/log.nmea", nullptr,
                   "velmo: NMEA log \"/no/such/log.nmea\" does not exist or is not a file"},
        BadSetting{"gps", nullptr, "velmo: unknown locationSource \"gps\" (expected system, fixed or nmea:PATH)"}),
    [](const auto& p) { return "case" + std::to_string(p.index); });

TEST(PositionArgument, FindsBothFormsAndAMissingValue) {
    EXPECT_EQ(positionArgument({"velmomac", "--position", "1,2"}), "1,2");
    EXPECT_EQ(positionArgument({"velmomac", "--position=3,4,5"}), "3,4,5");
    EXPECT_EQ(positionArgument({"velmomac", "--position"}), "");
    EXPECT_FALSE(positionArgument({"velmomac", "--positions=1,2"}));
}
