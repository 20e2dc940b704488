#include "server/realtime/Poller.h"

#include "tests/server/realtime/RealtimeFixture.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace velmo;
using namespace velmo::test;
namespace fs = std::filesystem;

namespace {

std::string delayed(std::chrono::seconds stampOffset = 0s) { return delayedT2(kNow + stampOffset).SerializeAsString(); }

class SourceTest : public ::testing::Test {
protected:
    std::unique_ptr<realtime::Poller> poller(const std::string& location, realtime::PollerOptions options = {}) {
        options.timeout = 2s;
        return std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", location}}, options,
            [this](const std::string& key) { return key == "bp" ? std::optional(city_.target()) : std::nullopt; },
            [this] { return now_.load(); });
    }
    // Whether T2's departure is a prediction now.
    bool live() const { return std::ranges::count(city_.nearby(now_.load()), "T2@A*") == 1; }
    // Writes the file with a later modification time, so that a poll sees it changed.
    void write(const std::string& bytes) {
        const auto file = dir_.write("feed.pb", bytes);
        fs::last_write_time(file, fs::file_time_type::clock::now() + std::chrono::seconds(++writes_));
    }
    std::string file() const { return (dir_.path() / "feed.pb").string(); }

    TempDir dir_;
    LiveCity city_;
    std::atomic<query::TimePoint> now_{kNow};
    int writes_ = 0;
};

}  // namespace

TEST_F(SourceTest, FileSourceKeepsLastGoodDataUntilItsMaximumAge) {
    write(delayed());
    auto p = poller(file());
    p->pollAll();
    EXPECT_TRUE(live());
    auto s = p->status().front();
    EXPECT_EQ(std::tuple(s.lastSuccess, s.dataTime, s.build.matchedTrips, s.lastError),
              std::tuple(unix(kNow), unix(kNow), 1u, std::string()));
    p->pollAll();  // unchanged file
    EXPECT_EQ(p->status().front().notModified, 1u);
    // Garbage and a truncated message: counted, the last good data stays.
    for (const std::string& bad : {std::string("\xff\xff\xff\xff garbage", 13), delayed().substr(0, 20)}) {
        write(bad);
        now_ = now_.load() + 60s;
        p->pollAll();
        EXPECT_TRUE(live());
    }
    s = p->status().front();
    EXPECT_EQ(std::tuple(s.failures, s.lastSuccess, s.lastError.empty()), std::tuple(2u, unix(kNow), false));
    // A vanished file too; past the maximum age the timetable is back.
    fs::remove(file());
    now_ = kNow + 301s;
    p->pollAll();
    EXPECT_FALSE(live());
    EXPECT_EQ(p->status().front().failures, 3u);
}

TEST_F(SourceTest, FutureStampIsAgedFromReceipt) {
    write(delayed(3600s));
    auto p = poller(file());
    p->pollAll();
    EXPECT_TRUE(live());
    EXPECT_EQ(std::tuple(p->status().front().futureStamps, p->status().front().dataTime), std::tuple(1u, unix(kNow)));
    now_ = kNow + 301s;
    p->republish();
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, HttpSourceWithNotModifiedNotFoundAndNoAnswer) {
    httplib::Server server;
    std::atomic<int> status{200};
    const std::string stamp = "Fri, 14 Mar 2025 07:00:00 GMT";
    server.Get("/rt.pb", [&](const httplib::Request& req, httplib::Response& res) {
        res.status = status == 200 && req.get_header_value("If-Modified-Since") == stamp ? 304 : status.load();
        if (res.status == 200) {
            res.set_header("Last-Modified", stamp);
            res.set_content(delayed(), "application/x-protobuf");
        }
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    std::thread t([&] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::sleep_for(5ms);
    }
    auto p = poller("http://127.0.0.1:" + std::to_string(port) + "/rt.pb");
    p->pollAll();
    p->pollAll();
    EXPECT_EQ(p->status().front().notModified, 1u) << p->status().front().lastError;
    EXPECT_TRUE(live());
    status = 404;
    now_ = kNow + 100s;
    p->pollAll();
    auto s = p->status().front();
    EXPECT_EQ(std::tuple(s.lastError, s.failures, s.lastSuccess), std::tuple("HTTP 404", 1u, unix(kNow)));
    EXPECT_TRUE(live());  // the last good data still counts
    server.stop();
    t.join();
    now_ = kNow + 400s;
    p->pollAll();
    s = p->status().front();
    EXPECT_EQ(s.failures, 2u);
    EXPECT_NE(s.lastError.find("request failed"), std::string::npos) << s.lastError;
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, BackgroundPollingRetriesUntilTheSourceIsGood) {
    write("not a feed");
    realtime::PollerOptions quick;
    quick.interval = quick.firstRetry = 1s;
    auto p = poller(file(), quick);
    p->start();
    for (int i = 0; i < 100 && p->status().front().failures == 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(p->status().front().failures, 1u);
    write(delayed());
    for (int i = 0; i < 300 && !live(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(live());
    p->stop();
}
