// The system location source end to end: Qt Positioning's geoclue2 back-end talking D-Bus to a
// GeoClue 2 stand-in (geoclue_standin.py) on a private bus posing as the system bus, chosen
// the way the programs choose it, through EasyLocation and the departures client up to the
// request it sends or the error code it ends with.

#include "core/location/EasyLocation.h"
#include "core/service/TarvoRequest.h"
#include "core/settings/AppSettings.h"
#include "platform/defaults/UserDefaults.h"
#include "platform/http/FakeHttp.h"
#include "platform/location/LocationSource.h"
#include "platform/runloop/QtRunLoop.h"
#include "tests/support/TempHome.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGeoPositionInfo>
#include <QProcess>
#include <QStandardPaths>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

using namespace velmo;

namespace {

const Bundle kBundle({{"CFBundleExecutable", "velmomac"},
                      {"CFBundleShortVersionString", "1.0"},
                      {"CFBundleVersion", "1"},
                      {"NSLocationUsageDescription", "ok"}});

// The programs' run loop with every timer shortened fifteenfold: the client's 30 s location
// deadline passes in 2 s, while D-Bus traffic and Qt's own timers run at their real pace.
class HurriedRunLoop final : public RunLoop {
public:
    std::shared_ptr<Timer> scheduleTimer(Seconds interval, std::function<void()> fire) override {
        return loop_.scheduleTimer(interval / 15, std::move(fire));
    }
    void post(std::function<void()> work) override { loop_.post(std::move(work)); }
    void runOnMainAndWait(std::function<void()> work) override { loop_.runOnMainAndWait(std::move(work)); }
    TimePoint now() const override { return loop_.now(); }

private:
    QtRunLoop loop_;
};

const char* kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>session</type><listen>unix:dir=@DIR@</listen><auth>EXTERNAL</auth><policy context="default">
  <allow user="*"/><allow own="org.freedesktop.GeoClue2"/><allow send_destination="*" eavesdrop="true"/>
  <allow eavesdrop="true"/></policy></busconfig>)";

struct Case {
    const char* name;
    const char* mode;  // the stand-in's mode; "" for no GeoClue on the bus
    const char* error;
    bool cached = false;  // Qt's back-end holds a position saved by an earlier run
};

std::ostream& operator<<(std::ostream& out, const Case& c) { return out << c.name; }

class GeoClueTest : public velmo::test::TempHome, public ::testing::WithParamInterface<Case> {
protected:
    // One private bus for the program: Qt connects to "the system bus" once per process.
    static void SetUpTestSuite() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty()) {
            skip_ = "dbus-daemon is not installed (Debian package dbus)";
            return;
        }
        // Debian's python first: another python3 earlier on PATH may lack its modules.
        for (const QString& candidate : {QStringLiteral("/usr/bin/python3"), QStringLiteral("python3")}) {
            QProcess probe;
            probe.start(candidate,
                        {QStringLiteral("-c"),
                         QStringLiteral("import dbus.service, dbus.mainloop.glib; from gi.repository import GLib")});
            if (probe.waitForFinished(20000) && probe.exitStatus() == QProcess::NormalExit && probe.exitCode() == 0) {
                python_ = candidate;
                break;
            }
        }
        if (python_.isEmpty()) {
            skip_ = "python3 with dbus and gi is missing (Debian packages python3-dbus, python3-gi)";
            return;
        }
        busDir_ = new velmo::test::TempDir("velmo-bus");
        std::string config = kBusConfig;
        config.replace(config.find("@DIR@"), 5, busDir_->path().string());
        const auto file = busDir_->write("bus.conf", config);
        bus_ = new QProcess;
        bus_->start(daemon, {QStringLiteral("--config-file=") + QString::fromStdString(file.string()),
                             QStringLiteral("--print-address"), QStringLiteral("--nofork")});
        QElapsedTimer clock;
        clock.start();
        while (!bus_->canReadLine() && clock.elapsed() < 10000)
            bus_->waitForReadyRead(100);
        const QByteArray address = bus_->readLine().trimmed();
        if (address.isEmpty()) {
            skip_ = "dbus-daemon did not start: " + bus_->readAllStandardError().toStdString();
            return;
        }
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    }

    static void TearDownTestSuite() {
        if (bus_) {
            bus_->terminate();
            bus_->waitForFinished(5000);
        }
        delete bus_;
        delete busDir_;
    }

    void SetUp() override {
        if (!skip_.empty())
            GTEST_SKIP() << skip_;
        TempHome::SetUp();
    }

    void TearDown() override {
        if (standIn_.state() != QProcess::NotRunning) {
            standIn_.terminate();
            standIn_.waitForFinished(5000);
        }
        if (skip_.empty())
            TempHome::TearDown();
    }

    // Starts the stand-in and waits until it owns its name.
    void startStandIn(const QStringList& arguments) {
        standIn_.start(python_, QStringList{QStringLiteral(VELMO_GEOCLUE_STANDIN)} + arguments);
        QElapsedTimer clock;
        clock.start();
        while (log_.find("READY") == std::string::npos && clock.elapsed() < 10000) {
            standIn_.waitForReadyRead(100);
            log_ += standIn_.readAllStandardOutput().toStdString();
        }
        ASSERT_NE(log_.find("READY"), std::string::npos) << standIn_.readAllStandardError().toStdString();
    }

    // Qt events until `done` or 20 s; the stand-in's lines are collected meanwhile.
    void runUntil(const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 20000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        // Let the last calls (a Stop after the answer) reach the stand-in.
        clock.restart();
        while (clock.elapsed() < 300)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        standIn_.waitForReadyRead(200);
        log_ += standIn_.readAllStandardOutput().toStdString();
    }

    QProcess standIn_;
    std::string log_;
    static inline std::string skip_;
    static inline QString python_;
    static inline velmo::test::TempDir* busDir_ = nullptr;
    static inline QProcess* bus_ = nullptr;
};

TEST_P(GeoClueTest, TheDeparturesQueryGetsAFixOrTheErrorOfWhatGeoClueDid) {
    const Case& c = GetParam();
    if (*c.mode) {
        ASSERT_NO_FATAL_FAILURE(startStandIn(
            {QString::fromLatin1(c.mode), QStringLiteral("47.4979"), QStringLiteral("19.0402"), QStringLiteral("35")}));
    }
    if (c.cached) {
        // What the back-end saves when a source is destroyed, and replays at each start.
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QDir().mkpath(data);
        QFile file(data + QStringLiteral("/qtposition-geoclue2"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        QDataStream stream(&file);
        stream << QGeoPositionInfo(QGeoCoordinate(46.253, 20.148), QDateTime::currentDateTimeUtc().addDays(-3));
    }
    HurriedRunLoop loop;
    FakeUrlSessionFactory sessions(loop);
    sessions.enqueue(FakeReply::withBody(R"({"error":false,"stopDates":[],"stopDatesNearby":[]})"));
    std::ostringstream err, out;
    auto choice = chooseLocationService(loop, kBundle, UserDefaults(AppSettings::kAppGroup), std::nullopt, err);
    EXPECT_EQ(choice.description, *c.mode ? "system" : "unavailable");
    TarvoRequest request(std::make_unique<EasyLocation>(*choice.service, loop, kBundle, out),
                         std::make_unique<AppSettings>(), sessions, loop, kBundle,
                         ServerBases{"https://prod.test/v2/", "", "", ""});
    int calls = 0;
    std::optional<std::string> error;
    request.getWithLocation(false, [&](auto e, auto...) {
        ++calls;
        error = e;
    });
    runUntil([&] { return calls > 0; });

    ASSERT_EQ(calls, 1) << log_;
    EXPECT_EQ(error.value_or("none"), c.error) << log_;
    if (std::string(c.mode) == "fix") {
        ASSERT_EQ(sessions.requests().size(), 1U);
        const auto body = nlohmann::json::parse(sessions.requests()[0].bodyText());
        EXPECT_NEAR(body["lat"].get<double>(), 47.4979, 1e-4);
        EXPECT_NEAR(body["lon"].get<double>(), 19.0402, 1e-4);
        ASSERT_TRUE(request.manager().lastLocation());
        EXPECT_EQ(request.manager().lastLocation()->horizontalAccuracy, 35.0);
        EXPECT_NE(log_.find("DesktopId=velmomac"), std::string::npos) << log_;
    } else {
        EXPECT_TRUE(sessions.requests().empty());
    }
    // Whenever GeoClue started locating for us, it is released once the query has its answer.
    const auto started = log_.find("Start\n");
    if (std::string(c.mode) == "fix" || std::string(c.mode) == "silent") {
        ASSERT_NE(started, std::string::npos) << log_;
        EXPECT_NE(log_.find("Stop\n", started), std::string::npos) << log_;
    }
}

INSTANTIATE_TEST_SUITE_P(Agent, GeoClueTest,
                         ::testing::Values(Case{"Fix", "fix", "none"},
                                           Case{"ClientRefused", "deny-client", "NOLOCATIONACCESS"},
                                           Case{"StartRefused", "deny-start", "NOLOCATIONACCESS"},
                                           Case{"Missing", "", "NOLOCATIONDISABLED"},
                                           Case{"Silent", "silent", "NOLOCATION"},
                                           // A position saved days ago is neither a fresh fix nor
                                           // one the agent allowed.
                                           Case{"FixAfterCache", "fix", "none", true},
                                           Case{"RefusedAfterCache", "deny-start", "NOLOCATIONACCESS", true},
                                           Case{"SilentAfterCache", "silent", "NOLOCATION", true}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
