#include "platform/http/QtUrlSession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <httplib.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using namespace velmo;
namespace fs = std::filesystem;

namespace {

struct Outcome {
    bool done = false;
    std::optional<Bytes> body;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
    std::string text() const { return body ? std::string(body->begin(), body->end()) : std::string(); }
};

bool spinUntil(const bool& flag, int limitMs) {
    QElapsedTimer clock;
    clock.start();
    while (!flag && clock.elapsed() < limitMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return flag;
}

// A loopback HTTPS server with a certificate made for this test run.
class HttpsServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/velmo-http-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = new fs::path(pattern);
        const std::string cmd =
            "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
            " -keyout '" +
            (*dir_ / "key.pem").string() + "' -out '" + (*dir_ / "cert.pem").string() +
            "' -days 2 -subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost"
            " >/dev/null 2>&1";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        fs::remove_all(*dir_, ignored);
        delete dir_;
    }

    void SetUp() override {
        server_ = std::make_unique<httplib::SSLServer>(certPath().c_str(), (*dir_ / "key.pem").c_str());
        ASSERT_TRUE(server_->is_valid());
        server_->Post("/echo", [](const httplib::Request& req, httplib::Response& res) {
            res.set_content("app=" + req.get_header_value("X-APP") + " extra=" + req.get_header_value("X-EXTRA") +
                                " body=" + req.body,
                            "text/plain");
        });
        server_->Get("/fail", [](const httplib::Request&, httplib::Response& res) {
            res.status = 500;
            res.set_content(R"({"error":false})", "application/json");
        });
        server_->Get("/slow", [this](const httplib::Request&, httplib::Response& res) {
            for (int i = 0; i < 100 && !stopping_; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            res.set_content("late", "text/plain");
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        while (!server_->is_running()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    void TearDown() override {
        stopping_ = true;
        server_->stop();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    static std::string certPath() { return (*dir_ / "cert.pem").string(); }
    std::string url(const std::string& path) const { return "https://127.0.0.1:" + std::to_string(port_) + path; }

    // Sends one request on a fresh session; the caller keeps neither the session nor the task.
    Outcome send(const UrlRequest& request, std::optional<std::string> extraCa, HeaderMap headers = {},
                 int limitMs = 8000) {
        Outcome outcome;
        bool insideResume = false;
        {
            QtUrlSessionFactory factory;
            auto session = factory.makeSession(UrlSessionConfiguration{std::move(headers), std::move(extraCa)});
            auto task = session->dataTask(request, [&](auto body, auto response, auto error) {
                EXPECT_FALSE(insideResume) << "completion ran inside resume()";
                outcome.body = std::move(body);
                outcome.response = std::move(response);
                outcome.error = std::move(error);
                outcome.done = true;
            });
            insideResume = true;
            task->resume();
            insideResume = false;
        }
        EXPECT_TRUE(spinUntil(outcome.done, limitMs));
        return outcome;
    }

    static inline fs::path* dir_ = nullptr;
    std::unique_ptr<httplib::SSLServer> server_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    int port_ = 0;
};

UrlRequest post(const std::string& url, const std::string& body, double timeout = 25) {
    UrlRequest request;
    request.url = url;
    request.cachePolicy = UrlRequestCachePolicy::reloadIgnoringLocalAndRemoteCacheData;
    request.timeoutInterval = timeout;
    request.httpMethod = "POST";
    request.httpBody.assign(body.begin(), body.end());
    return request;
}

UrlRequest get(const std::string& url, double timeout = 25) {
    UrlRequest request;
    request.url = url;
    request.timeoutInterval = timeout;
    return request;
}

}  // namespace

TEST_F(HttpsServerTest, TrustedServerAnswersWithStatusHeadersAndBody) {
    const Outcome o =
        send(post(url("/echo"), R"({"lat":47.5})"), certPath(), {{"X-APP", "velmomac"}, {"X-EXTRA", "1"}});
    ASSERT_TRUE(o.done);
    EXPECT_FALSE(o.error) << o.error->message;
    ASSERT_TRUE(o.response);
    EXPECT_EQ(o.response->statusCode, 200);
    EXPECT_EQ(o.response->headers.at("Content-Type"), "text/plain");
    EXPECT_EQ(o.text(), R"(app=velmomac extra=1 body={"lat":47.5})");
}

TEST_F(HttpsServerTest, ServerErrorStatusStillDeliversTheBody) {
    const Outcome o = send(get(url("/fail")), certPath());
    ASSERT_TRUE(o.done);
    EXPECT_FALSE(o.error);
    ASSERT_TRUE(o.response);
    EXPECT_EQ(o.response->statusCode, 500);
    EXPECT_EQ(o.text(), R"({"error":false})");
}

TEST_F(HttpsServerTest, UntrustedCertificateIsATransportError) {
    const Outcome o = send(get(url("/fail")), std::nullopt);
    ASSERT_TRUE(o.done);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, UrlError::serverCertificateUntrusted) << o.error->message;
    EXPECT_FALSE(o.response);
    EXPECT_FALSE(o.body);
}

TEST_F(HttpsServerTest, UnreadableExtraCertificateTrustsOnlyTheSystem) {
    const Outcome o = send(get(url("/fail")), (*dir_ / "missing.pem").string());
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, UrlError::serverCertificateUntrusted);
}

TEST_F(HttpsServerTest, FailedHandshakeOfOneSessionDoesNotSpoilTheNext) {
    const Outcome untrusted = send(get(url("/fail")), std::nullopt);
    ASSERT_TRUE(untrusted.error);
    const Outcome trusted = send(get(url("/fail")), certPath());
    EXPECT_FALSE(trusted.error);
    ASSERT_TRUE(trusted.response);
    EXPECT_EQ(trusted.response->statusCode, 500);
}

TEST_F(HttpsServerTest, SlowServerEndsAtTheTransferTimeOut) {
    // The server would answer after 5 s; the request allows 1 s.
    const Outcome o = send(get(url("/slow"), 1.0), certPath(), {}, 4000);
    ASSERT_TRUE(o.done);
    ASSERT_TRUE(o.error);
    EXPECT_EQ(o.error->code, UrlError::timedOut) << o.error->message;
    EXPECT_FALSE(o.response);
}

TEST_F(HttpsServerTest, ClosedPortAndBadUrlAreTransportErrors) {
    const int closedPort = port_;
    TearDown();
    const Outcome refused = send(get("https://127.0.0.1:" + std::to_string(closedPort) + "/"), certPath());
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->code, UrlError::cannotConnectToHost) << refused.error->message;

    const Outcome bad = send(get("not a url"), certPath());
    ASSERT_TRUE(bad.error);
    EXPECT_EQ(bad.error->code, UrlError::badURL);
}
