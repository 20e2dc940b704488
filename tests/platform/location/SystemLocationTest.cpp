#include "core/location/EasyLocation.h"
#include "platform/location/QtLocationService.h"
#include "platform/runloop/ManualRunLoop.h"

#include <QGeoPositionInfoSource>

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;
using namespace velmo;

namespace {

// A positioning source the test drives by hand.
class ScriptedSource final : public QGeoPositionInfoSource {
public:
    explicit ScriptedSource(QObject* parent) : QGeoPositionInfoSource(parent) {}
    QGeoPositionInfo lastKnownPosition(bool) const override { return {}; }
    PositioningMethods supportedPositioningMethods() const override { return AllPositioningMethods; }
    int minimumUpdateInterval() const override { return 0; }
    Error error() const override { return NoError; }
    void startUpdates() override { ++starts; }
    void stopUpdates() override { ++stops; }
    void requestUpdate(int) override {}

    void fix(double lat, double lon, double accuracy) {
        QGeoPositionInfo info(QGeoCoordinate(lat, lon), QDateTime::currentDateTimeUtc());
        info.setAttribute(QGeoPositionInfo::HorizontalAccuracy, accuracy);
        emit positionUpdated(info);
    }
    void fail(Error e) { emit errorOccurred(e); }

    int starts = 0;
    int stops = 0;
};

class SystemLocationTest : public ::testing::Test {
protected:
    SystemLocationTest()
        : service(makeSystemLocationService(loop,
                                            [this](QObject* parent) {
                                                source = new ScriptedSource(parent);
                                                return source;
                                            })),
          provider(*service, loop, bundle, out) {}

    void request() {
        provider.getLocation(100, 100, 30, [this](auto l, auto e) {
            ++calls;
            location = l;
            error = e;
        });
        loop.runPending();
    }

    ManualRunLoop loop;
    const Bundle bundle{Bundle::Dictionary{{"CFBundleExecutable", "velmomac"}, {"NSLocationUsageDescription", "ok"}}};
    std::ostringstream out;
    ScriptedSource* source = nullptr;
    std::unique_ptr<LocationService> service;
    EasyLocation provider;
    int calls = 0;
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

}  // namespace

TEST_F(SystemLocationTest, FirstFixGrantsAccessAndAnswers) {
    EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::notDetermined);
    request();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->starts, 1);
    source->fix(47.5, 19.05, 35);
    loop.runPending();
    EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::authorizedWhenInUse);
    ASSERT_EQ(calls, 1);
    ASSERT_TRUE(location);
    EXPECT_EQ(location->latitude, 47.5);
    EXPECT_EQ(location->horizontalAccuracy, 35);
    EXPECT_GE(source->stops, 1);
}

TEST_F(SystemLocationTest, AccessErrorMeansDenied) {
    request();
    source->fail(QGeoPositionInfoSource::AccessError);
    loop.runPending();
    EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::denied);
    ASSERT_EQ(calls, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 1);
}

TEST_F(SystemLocationTest, SilentSourceEndsAtTheTimeOut) {
    request();
    loop.advance(29s);
    EXPECT_EQ(calls, 0);
    loop.advance(1s);
    ASSERT_EQ(calls, 1);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, 2);
}

TEST_F(SystemLocationTest, OtherSourceErrorsAreFailures) {
    request();
    source->fail(QGeoPositionInfoSource::ClosedError);
    loop.runPending();
    ASSERT_EQ(calls, 1);
    EXPECT_EQ(error->code, 2);
    EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::notDetermined);
}
