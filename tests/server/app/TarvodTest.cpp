// The tarvod program itself, where a process is what matters: exit codes, signals, the
// generated certificate.
#include "tests/support/Feeds.h"
#include "tests/support/Program.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <csignal>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class TarvodTest : public velmo::test::TempHome {
protected:
    void SetUp() override {
        TempHome::SetUp();
        velmo::test::smallCity().writeTo(feed());
    }
    fs::path feed() const { return root() / "feed"; }
    fs::path cert() const { return root() / "data" / "tarvod" / "tls" / "cert.pem"; }

    // The minutes text of the first departure at Deák tér, once tarvod answers (empty if never).
    std::string minutesText(int port) const {
        for (int i = 0; i < 200; ++i) {
            if (fs::exists(cert())) {
                httplib::SSLClient client("127.0.0.1", port);
                client.set_ca_cert_path(cert().c_str());
                client.enable_server_certificate_verification(true);
                const auto reply = client.Post(
                    "/v2/nearby/", {{"X-APILEVEL", "2"}},
                    R"({"method":"TRIPSFORLOCATION","lat":47.497,"lon":19.054,"fetchRadius":300,"realRadius":300,)"
                    R"("favRoutes":[],"favStops":[],"favSortMode":3,"minutes":30})",
                    "application/json");
                const auto at = reply ? reply->body.find(R"("tripDepartureMinutesText":")") : std::string::npos;
                if (at != std::string::npos) {
                    return reply->body.substr(at + 28, reply->body.find('"', at + 28) - at - 28);
                }
            }
            std::this_thread::sleep_for(50ms);
        }
        return "";
    }
};

}  // namespace

TEST_F(TarvodTest, StartupFailuresExitWithOneClearMessage) {
    fs::remove(feed() / "stops.txt");
    const std::string bp = "bp=" + feed().string();
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"--feed", bp}, 1, "tarvod: city bp, feed " + feed().string() + ": required file stops.txt is missing\n"},
        {{"--feed", bp, "--listen", "nope"}, 1, "tarvod: bad --listen nope (want HOST:PORT)\n"},
        {{"--feed", bp, "--no-such-flag"}, 109, "--no-such-flag"},
    };
    for (const auto& [args, code, message] : cases) {
        const auto outcome = velmo::test::runProgram(TARVOD_BINARY, args);
        EXPECT_EQ(outcome.exitCode, code) << message;
        EXPECT_NE(outcome.err.find(message), std::string::npos) << outcome.err;
    }
    velmo::test::smallCity().writeTo(feed());
    const auto badNow = velmo::test::runProgram(TARVOD_BINARY, {"--feed", bp, "--now", "yesterday"});
    EXPECT_EQ(badNow.exitCode, 1);
    EXPECT_NE(badNow.err.find("tarvod: bad --now yesterday (want e.g. 2025-03-14T08:00:00+01:00)\n"), std::string::npos)
        << badNow.err;
}

TEST_F(TarvodTest, ServesReloadsOnSighupAndStopsOnSigterm) {
    const int port = velmo::test::freePort();
    const auto config = dir().write(
        "tarvod.toml", "reload_check_interval = 3600\n[[city]]\nkey = \"bp\"\nfeed = \"" + feed().string() + "\"\n");
    // Local time of the city: 07:57:30 in Budapest, 150 s before the 08:00 trip; the clock runs
    // on from there, so a slow start (up to 30 s) still leaves two whole minutes.
    velmo::test::RunningProgram tarvod(
        TARVOD_BINARY,
        {"--config", config.string(), "--listen", "127.0.0.1:" + std::to_string(port), "--now", "2025-03-14T07:57:30"},
        (root() / "stderr").string());
    ASSERT_EQ(minutesText(port), "2") << dir().read("stderr");
    struct stat st {};
    ASSERT_EQ(::stat((root() / "data" / "tarvod" / "tls" / "key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // The feed changes, but only SIGHUP has it read before the hour is out.
    velmo::test::smallCity("08:10:00", "08:15:00").writeTo(feed());
    tarvod.signal(SIGHUP);
    std::string minutes;
    for (int i = 0; i < 100 && (minutes = minutesText(port)) != "12"; ++i) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(minutes, "12") << dir().read("stderr");
    tarvod.signal(SIGTERM);
    EXPECT_EQ(tarvod.wait(), 0);
}
