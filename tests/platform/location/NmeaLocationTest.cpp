// The Qt Positioning back-ends: an NMEA log replayed by Qt's "nmea" plugin on the Qt event
// loop, and the system source's access rules over a scripted source.

#include "core/location/EasyLocation.h"
#include "platform/location/QtLocationService.h"
#include "platform/runloop/ManualRunLoop.h"
#include "platform/runloop/QtRunLoop.h"
#include "tests/support/TempHome.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGeoPositionInfoSource>

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

using namespace velmo;

namespace {

const Bundle kBundle({{"CFBundleExecutable", "velmomac"}, {"NSLocationUsageDescription", "ok"}});

struct Reply {
    int calls = 0;
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

// "$BODY*CS" with the XOR checksum of BODY.
std::string sentence(const std::string& body) {
    unsigned char sum = 0;
    for (char c : body)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

// A positioning source the test drives by hand.
class ScriptedSource final : public QGeoPositionInfoSource {
public:
    explicit ScriptedSource(QObject* parent) : QGeoPositionInfoSource(parent) {}
    QGeoPositionInfo lastKnownPosition(bool) const override { return {}; }
    PositioningMethods supportedPositioningMethods() const override { return AllPositioningMethods; }
    int minimumUpdateInterval() const override { return 0; }
    Error error() const override { return NoError; }
    void startUpdates() override { ++starts; }
    void stopUpdates() override {}
    void requestUpdate(int) override {}
    int starts = 0;
};

}  // namespace

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

TEST(SystemLocationService, FirstFixGrantsAccessAndAnAccessErrorDeniesIt) {
    for (const bool grant : {true, false}) {
        ManualRunLoop loop;
        ScriptedSource* source = nullptr;
        auto service =
            makeSystemLocationService(loop, [&](QObject* parent) { return source = new ScriptedSource(parent); });
        std::ostringstream out;
        EasyLocation provider(*service, loop, kBundle, out);
        EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::notDetermined);
        Reply reply;
        provider.getLocation(100, 100, 30, [&](auto l, auto e) { reply = Reply{reply.calls + 1, l, e}; });
        loop.runPending();
        ASSERT_NE(source, nullptr);
        EXPECT_EQ(source->starts, 1);
        if (grant) {
            QGeoPositionInfo info(QGeoCoordinate(47.5, 19.05), QDateTime::currentDateTimeUtc());
            info.setAttribute(QGeoPositionInfo::HorizontalAccuracy, 35);
            emit source->positionUpdated(info);
        } else {
            emit source->errorOccurred(QGeoPositionInfoSource::AccessError);
        }
        loop.runPending();
        EXPECT_EQ(service->authorizationStatus(),
                  grant ? AuthorizationStatus::authorizedWhenInUse : AuthorizationStatus::denied);
        ASSERT_EQ(reply.calls, 1);
        EXPECT_EQ(reply.location ? reply.location->horizontalAccuracy : -1.0, grant ? 35.0 : -1.0);
        EXPECT_EQ(reply.error ? reply.error->code : -1, grant ? -1 : 1);
    }
}
