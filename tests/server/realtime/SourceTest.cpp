#include "server/realtime/Poller.h"

#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

using namespace velmo;
using namespace velmo::test;

namespace {

namespace fs = std::filesystem;

std::string delayed(std::int64_t stampOffset = 0, int delay = 120) {
    auto m = message(kNow + std::chrono::seconds(stampOffset));
    stopDelay(tripUpdate(m, "T2"), 1, delay);
    return m.SerializeAsString();
}

class SourceTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmo-rt-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<realtime::Poller> poller(const std::string& location) {
        realtime::PollerOptions options;
        options.timeout = 2s;
        return std::make_unique<realtime::Poller>(
            std::vector<realtime::SourceConfig>{{"bp", location}}, options,
            [this](const std::string& key) -> std::optional<realtime::CityTarget> {
                if (key != "bp") {
                    return std::nullopt;
                }
                return realtime::CityTarget{city_.city().feed, city_.city().zone, city_.live};
            },
            [this] { return now_.load(); });
    }

    bool live() const {
        const auto r = city_.nearby(now_.load());
        for (const auto& d : r.stopDates) {
            if (d.tripId == "T2") {
                return d.tripDepartureGPS;
            }
        }
        return false;
    }

    void write(const std::string& bytes) {
        std::ofstream(dir_ / "feed.pb", std::ios::binary | std::ios::trunc) << bytes;
    }

    fs::path dir_;
    LiveCity city_;
    std::atomic<query::TimePoint> now_{kNow};
};

}  // namespace

TEST_F(SourceTest, FileSourceKeepsLastGoodDataUntilItsMaximumAge) {
    write(delayed());
    auto p = poller((dir_ / "feed.pb").string());
    p->pollAll();
    EXPECT_TRUE(live());
    auto s = p->status().front();
    EXPECT_EQ(s.lastSuccess, unix(kNow));
    EXPECT_EQ(s.dataTime, unix(kNow));
    EXPECT_EQ(s.build.matchedTrips, 1u);
    EXPECT_EQ(s.lastError, "");

    p->pollAll();  // unchanged file
    EXPECT_EQ(p->status().front().notModified, 1u);

    // Garbage and a truncated message: counted, the last good data stays.
    for (const std::string& bad : {std::string("\xff\xff\xff\xff garbage", 13), delayed().substr(0, 20)}) {
        write(bad);
        fs::last_write_time(dir_ / "feed.pb", fs::last_write_time(dir_ / "feed.pb") + 1s);
        now_ = now_.load() + 60s;
        p->pollAll();
        EXPECT_TRUE(live());
    }
    s = p->status().front();
    EXPECT_EQ(s.failures, 2u);
    EXPECT_FALSE(s.lastError.empty());
    EXPECT_EQ(s.lastSuccess, unix(kNow));

    // A vanished file too; past the maximum age the timetable is back.
    fs::remove(dir_ / "feed.pb");
    now_ = kNow + 301s;
    p->pollAll();
    EXPECT_FALSE(live());
    EXPECT_EQ(p->status().front().failures, 3u);
}

TEST_F(SourceTest, FutureStampIsAgedFromReceipt) {
    write(delayed(3600));
    auto p = poller((dir_ / "feed.pb").string());
    p->pollAll();
    EXPECT_TRUE(live());
    const auto s = p->status().front();
    EXPECT_EQ(s.futureStamps, 1u);
    EXPECT_EQ(s.dataTime, unix(kNow));
    now_ = kNow + 301s;
    p->republish();
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, HttpSourceWithNotModifiedAndNotFound) {
    httplib::Server server;
    std::atomic<int> mode{200};
    std::atomic<int> conditional{0};
    const std::string body = delayed();
    const std::string stamp = "Fri, 14 Mar 2025 07:00:00 GMT";
    server.Get("/rt.pb", [&](const httplib::Request& req, httplib::Response& res) {
        if (req.get_header_value("If-Modified-Since") == stamp) {
            ++conditional;
            if (mode == 200) {
                res.status = 304;
                return;
            }
        }
        res.status = mode;
        if (mode == 200) {
            res.set_header("Last-Modified", stamp);
            res.set_content(body, "application/x-protobuf");
        }
    });
    const int port = server.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    std::thread t([&] { server.listen_after_bind(); });
    while (!server.is_running()) {
        std::this_thread::sleep_for(5ms);
    }

    auto p = poller("http://127.0.0.1:" + std::to_string(port) + "/rt.pb");
    p->pollAll();
    EXPECT_TRUE(live());
    p->pollAll();
    EXPECT_EQ(conditional.load(), 1);
    EXPECT_EQ(p->status().front().notModified, 1u) << p->status().front().lastError;
    EXPECT_TRUE(live());

    mode = 404;
    now_ = kNow + 100s;
    p->pollAll();
    auto s = p->status().front();
    EXPECT_EQ(s.lastError, "HTTP 404");
    EXPECT_EQ(s.failures, 1u);
    EXPECT_EQ(s.lastSuccess, unix(kNow));
    EXPECT_TRUE(live());  // the last good data still counts

    server.stop();
    t.join();
    now_ = kNow + 400s;
    p->pollAll();  // nobody answers
    s = p->status().front();
    EXPECT_EQ(s.failures, 2u);
    EXPECT_NE(s.lastError.find("request failed"), std::string::npos);
    EXPECT_FALSE(live());
}

TEST_F(SourceTest, BackgroundPollingPublishesAndRetries) {
    write("not a feed");
    realtime::PollerOptions options;
    options.interval = 1s;
    options.firstRetry = 1s;
    auto p = std::make_unique<realtime::Poller>(
        std::vector<realtime::SourceConfig>{{"bp", (dir_ / "feed.pb").string()}}, options,
        [this](const std::string&) {
            return std::optional<realtime::CityTarget>({city_.city().feed, city_.city().zone, city_.live});
        },
        [this] { return now_.load(); });
    p->start();
    // The broken file is retried; once it is good, the overlay appears.
    for (int i = 0; i < 100 && p->status().front().failures == 0; ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(p->status().front().failures, 1u);
    write(delayed());
    fs::last_write_time(dir_ / "feed.pb", fs::last_write_time(dir_ / "feed.pb") + 2s);
    for (int i = 0; i < 300 && !live(); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_TRUE(live());
    p->stop();
}
