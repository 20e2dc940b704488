#include "tests/server/TestFeed.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class TarvodTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmo-tarvod-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        const auto feed = velmo::test::smallFeed();
        fs::create_directories(dir_ / "feed");
        for (const char* name :
             {"agency.txt", "stops.txt", "routes.txt", "calendar.txt", "trips.txt", "stop_times.txt"}) {
            std::ofstream(dir_ / "feed" / name) << *feed.read(name);
        }
    }
    void TearDown() override { fs::remove_all(dir_); }

    // Runs tarvod with the arguments; stderr goes to a file in the temp folder.
    pid_t start(std::vector<std::string> args) {
        args.insert(args.begin(), TARVOD_BINARY);
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
            std::freopen((dir_ / "stderr").c_str(), "w", stderr);
            std::freopen("/dev/null", "w", stdout);
            std::vector<char*> argv;
            for (auto& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }

    static int exitCode(pid_t pid) {
        int status = 0;
        waitpid(pid, &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    static int freePort() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        socklen_t len = sizeof addr;
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        close(fd);
        return ntohs(addr.sin_port);
    }

    std::string stderrText() const {
        std::ifstream in(dir_ / "stderr");
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    fs::path dir_;
};

}  // namespace

TEST_F(TarvodTest, BrokenFeedAtStartExitsWithOneClearMessage) {
    fs::remove(dir_ / "feed" / "stops.txt");
    EXPECT_EQ(exitCode(start({"--feed", "bp=" + (dir_ / "feed").string()})), 1);
    EXPECT_NE(stderrText().find("city bp, feed " + (dir_ / "feed").string() + ": required file stops.txt is missing"),
              std::string::npos)
        << stderrText();
}

TEST_F(TarvodTest, ServesWithGeneratedCertificateAndStopsOnSigterm) {
    const int port = freePort();
    const pid_t pid = start({"--feed", "bp=" + (dir_ / "feed").string(), "--listen",
                             "127.0.0.1:" + std::to_string(port), "--now", "2025-03-14T07:57:30"});
    const fs::path cert = dir_ / "data" / "tarvod" / "tls" / "cert.pem";
    std::optional<httplib::Response> res;
    for (int i = 0; i < 200 && !res; ++i) {
        std::this_thread::sleep_for(50ms);
        if (fs::exists(cert)) {
            httplib::SSLClient client("127.0.0.1", port);
            client.set_ca_cert_path(cert.c_str());
            client.enable_server_certificate_verification(true);
            auto reply = client.Post("/v2/nearby/", {{"X-APILEVEL", "2"}},
                                     R"({"method":"TRIPSFORLOCATION","lat":47.497,"lon":19.054,"fetchRadius":300,)"
                                     R"("realRadius":300,"favRoutes":[],"favStops":[],"favSortMode":3,"minutes":30})",
                                     "application/json");
            if (reply) {
                res = *reply;
            }
        }
    }
    ASSERT_TRUE(res) << stderrText();
    EXPECT_EQ(res->status, 200);
    // Local time of the first city: 07:57:30 in Budapest, 150 s before the 08:00 trip. The clock
    // runs on from there, so a slow start (up to 30 s) still leaves two whole minutes.
    EXPECT_NE(res->body.find(R"("tripDepartureMinutesText":"2")"), std::string::npos) << res->body;
    struct stat st {};
    ASSERT_EQ(stat((dir_ / "data" / "tarvod" / "tls" / "key.pem").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    kill(pid, SIGTERM);
    EXPECT_EQ(exitCode(pid), 0);
}
