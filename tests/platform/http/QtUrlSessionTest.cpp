// Qt Network sessions against the loopback HTTPS server: what arrives and comes back, which
// certificates are trusted, and the failures that end as transport errors.

#include "platform/http/QtUrlSession.h"

#include "tests/support/LoopbackHttps.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <gtest/gtest.h>

using namespace velmo;

namespace {

struct Outcome {
    bool done = false;
    std::optional<Bytes> body;
    std::optional<UrlResponse> response;
    std::optional<UrlError> error;
    std::string text() const { return body ? std::string(body->begin(), body->end()) : std::string(); }
};

UrlRequest request(const std::string& url, const std::string& body = {}, double timeout = 25) {
    UrlRequest request;
    request.url = url;
    request.timeoutInterval = timeout;
    request.httpMethod = body.empty() ? "GET" : "POST";
    request.httpBody.assign(body.begin(), body.end());
    return request;
}

class QtUrlSessionTest : public ::testing::Test {
protected:
    // Sends one request on a fresh session; neither the session nor the task is kept.
    Outcome send(const UrlRequest& request, std::optional<std::string> extraCa, HeaderMap headers = {}) {
        Outcome outcome;
        bool insideResume = false;
        {
            QtUrlSessionFactory factory;
            auto session = factory.makeSession(UrlSessionConfiguration{std::move(headers), std::move(extraCa)});
            auto task = session->dataTask(request, [&](auto body, auto response, auto error) {
                EXPECT_FALSE(insideResume) << "completion ran inside resume()";
                outcome = Outcome{true, std::move(body), std::move(response), std::move(error)};
            });
            insideResume = true;
            task->resume();
            insideResume = false;
        }
        QElapsedTimer clock;
        clock.start();
        while (!outcome.done && clock.elapsed() < 8000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        EXPECT_TRUE(outcome.done);
        return outcome;
    }

    std::string trusted() const { return server.certificateFile().string(); }

    velmo::test::LoopbackHttps server;
};

}  // namespace

// A server error still delivers its body, and a redirect arrives as it is: its target is never asked.
TEST_F(QtUrlSessionTest, TrustedServerGetsHeadersAndBodyAndAnswersWithStatusAndBody) {
    server.answer(R"({"error":false})", 500);
    server.answer(R"({"error":true})", 302, {{"Location", server.url("/elsewhere/")}});
    for (const int status : {500, 302}) {
        const Outcome o =
            send(request(server.url("/v2/nearby/"), R"({"lat":47.5})"), trusted(), {{"X-APP", "velmomac"}});
        ASSERT_FALSE(o.error) << o.error->message;
        EXPECT_EQ(o.response.value_or(UrlResponse{}).statusCode, status);
        EXPECT_EQ(o.text(), status == 500 ? R"({"error":false})" : R"({"error":true})");
    }
    ASSERT_EQ(server.seen().size(), 2u);
    EXPECT_EQ(server.seen()[1].path, "/v2/nearby/");
    EXPECT_EQ(server.seen()[1].header("X-APP"), "velmomac");
    EXPECT_EQ(server.seen()[1].body, R"({"lat":47.5})");
}

TEST_F(QtUrlSessionTest, OnlyTheGivenCertificateIsTrustedAndAFailedHandshakeSpoilsNothing) {
    for (const std::optional<std::string>& extraCa :
         {std::optional<std::string>(), std::optional<std::string>("/nonexistent/cert.pem")}) {
        const Outcome o = send(request(server.url("/")), extraCa);
        ASSERT_TRUE(o.error);
        EXPECT_EQ(o.error->code, UrlError::serverCertificateUntrusted) << o.error->message;
        EXPECT_FALSE(o.response || o.body);
    }
    const Outcome next = send(request(server.url("/")), trusted());
    EXPECT_FALSE(next.error);
    EXPECT_EQ(next.response->statusCode, 200);
}

TEST_F(QtUrlSessionTest, ClosedPortAndBadUrlAreTransportErrors) {
    server.stop();
    EXPECT_EQ(send(request(server.url("/")), trusted()).error.value_or(UrlError{}).code, UrlError::cannotConnectToHost);
    EXPECT_EQ(send(request("not a url"), trusted()).error.value_or(UrlError{}).code, UrlError::badURL);
}

TEST_F(QtUrlSessionTest, RepliesOverTheLimitAreAbandonedWhileTheyArrive) {
    struct Case {
        std::size_t bytes, limit;
        bool announced;
        bool slow = false;  // a byte a second: only the announced length can end it in time
    };
    constexpr std::size_t kHuge = std::size_t{64} << 20;
    for (const Case c : {Case{1000, 1000, true}, Case{1000, 1000, false}, Case{1001, 1000, true},
                         Case{1001, 1000, false}, Case{kHuge, kDefaultMaximumBodyBytes, true},
                         Case{kHuge, kDefaultMaximumBodyBytes, false}, Case{kHuge, 1000, true, true}}) {
        SCOPED_TRACE(std::to_string(c.bytes) + (c.announced ? " announced" : " chunked") + (c.slow ? " slowly" : ""));
        const std::size_t before = server.streamedBytes();
        server.answer(c.slow ? velmo::test::StreamedReply{c.bytes, true, 1, std::chrono::seconds(1)}
                             : velmo::test::StreamedReply{c.bytes, c.announced, 500});
        UrlRequest limited = request(server.url("/v2/nearby/"), "{}");
        limited.maximumBodyBytes = c.limit;
        const Outcome o = send(limited, trusted());
        if (c.bytes <= c.limit) {
            ASSERT_FALSE(o.error) << o.error->message;
            EXPECT_EQ(o.text(), std::string(c.bytes, 'x'));
            continue;
        }
        EXPECT_EQ(o.error.value_or(UrlError{}).code, UrlError::dataLengthExceedsMaximum);
        EXPECT_FALSE(o.response || o.body);
        if (c.bytes == kHuge) {
            EXPECT_LT(server.streamedBytes() - before, c.bytes) << "the whole reply was sent";
        }
    }
}

TEST_F(QtUrlSessionTest, AServerThatKeepsTricklingIsStoppedAtTheDeadline) {
    server.answer(velmo::test::StreamedReply{SIZE_MAX, false, 1, std::chrono::milliseconds(200)});
    const Outcome o = send(request(server.url("/"), {}, 1.0), trusted());
    EXPECT_EQ(o.error.value_or(UrlError{}).code, UrlError::timedOut);
    EXPECT_FALSE(o.response || o.body);
    EXPECT_GT(server.streamedBytes(), 0u);  // it did send, just never enough
}
