#include "core/location/EasyLocation.h"
#include "platform/location/QtLocationService.h"
#include "platform/runloop/QtRunLoop.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace velmo;

namespace {

// "$BODY*CS" with the XOR checksum of BODY.
std::string sentence(const std::string& body) {
    unsigned char sum = 0;
    for (char c : body) {
        sum ^= static_cast<unsigned char>(c);
    }
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail + "\r\n";
}

struct Reply {
    bool done = false;
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

class NmeaLocationTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velmo-nmea-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string writeLog(const std::string& name, const std::vector<std::string>& bodies) {
        const std::string path = dir_ + "/" + name;
        std::ofstream file(path, std::ios::binary);
        for (const auto& body : bodies) {
            file << sentence(body);
        }
        return path;
    }

    // One request as the departures client makes it, with a short time-out.
    Reply request(LocationService& service, double timeout) {
        const Bundle bundle({{"CFBundleExecutable", "velmomac"}, {"NSLocationUsageDescription", "ok"}});
        std::ostringstream out;
        EasyLocation provider(service, loop_, bundle, out);
        Reply reply;
        provider.getLocation(100, 100, timeout, [&](auto l, auto e) { reply = Reply{true, l, e}; });
        QElapsedTimer clock;
        clock.start();
        while (!reply.done && clock.elapsed() < 10000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        }
        return reply;
    }

    std::string dir_;
    QtRunLoop loop_;
    std::ostringstream err_;
};

}  // namespace

TEST_F(NmeaLocationTest, ReplaysALogIntoAFix) {
    const std::string path = writeLog("drive.nmea", {
                                                        "GPGGA,123519,4730.000,N,01903.000,E,1,08,1.2,120.0,M,40.0,M,,",
                                                        "GPRMC,123519,A,4730.000,N,01903.000,E,0.0,0.0,061226,,,A",
                                                        "GPGGA,123520,4730.060,N,01903.120,E,1,08,1.2,120.0,M,40.0,M,,",
                                                        "GPRMC,123520,A,4730.060,N,01903.120,E,3.0,45.0,061226,,,A",
                                                    });
    auto service = makeNmeaLocationService(loop_, path, err_);
    EXPECT_EQ(service->authorizationStatus(), AuthorizationStatus::authorizedWhenInUse);
    const auto before = std::chrono::system_clock::now();
    const Reply reply = request(*service, 5);
    ASSERT_TRUE(reply.done);
    ASSERT_TRUE(reply.location) << (reply.error ? reply.error->code : -1) << " " << err_.str();
    EXPECT_NEAR(reply.location->latitude, 47.5, 0.002);
    EXPECT_NEAR(reply.location->longitude, 19.05, 0.003);
    EXPECT_GT(reply.location->horizontalAccuracy, 0);
    EXPECT_LT(reply.location->horizontalAccuracy, 100);
    // A replayed log is stamped with the time of delivery, not the log's own date.
    EXPECT_GE(reply.location->timestamp, before - std::chrono::seconds(1));
    EXPECT_EQ(err_.str(), "");
}

TEST_F(NmeaLocationTest, LogWithoutAFixEndsWithCodeTwoAndOneLine) {
    const std::string path = writeLog("nofix.nmea", {
                                                        "GPRMC,123519,V,,,,,,,061226,,,N",
                                                        "GPGGA,123519,,,,,0,00,,,M,,M,,",
                                                        "GPRMC,123520,V,,,,,,,061226,,,N",
                                                    });
    auto service = makeNmeaLocationService(loop_, path, err_);
    const Reply reply = request(*service, 1);
    ASSERT_TRUE(reply.done);
    EXPECT_FALSE(reply.location);
    ASSERT_TRUE(reply.error);
    EXPECT_EQ(reply.error->code, 2);
    const std::string lines = err_.str();
    EXPECT_NE(lines.find(path), std::string::npos) << lines;
    EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1) << lines;
}

TEST_F(NmeaLocationTest, MissingLogFailsAtOnceNamingThePath) {
    auto service = makeNmeaLocationService(loop_, dir_ + "/missing.nmea", err_);
    QElapsedTimer clock;
    clock.start();
    const Reply reply = request(*service, 30);
    ASSERT_TRUE(reply.done);
    EXPECT_LT(clock.elapsed(), 5000);  // long before the 30 s time-out
    ASSERT_TRUE(reply.error);
    EXPECT_EQ(reply.error->code, 2);
    EXPECT_EQ(err_.str(), "velmo: NMEA log \"" + dir_ + "/missing.nmea\" does not exist or is not a file\n");
}

TEST(SystemLocationService, NoSystemBusMeansNoSystemService) {
    // Pins the world: a system bus address where nothing listens.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/velmo-test-bus", 1);
    QtRunLoop loop;
    const Bundle bundle(Bundle::Dictionary{{"CFBundleExecutable", "velmomactoday"}});
    EXPECT_EQ(makeSystemLocationService(loop, bundle), nullptr);
}
