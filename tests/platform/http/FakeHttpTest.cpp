#include "platform/http/FakeHttp.h"

#include "platform/runloop/ManualRunLoop.h"

#include <gtest/gtest.h>

using namespace velmo;

TEST(FakeHttp, RecordsRequestsAndAnswersInResumeOrderThroughTheRunLoop) {
    ManualRunLoop loop;
    FakeUrlSessionFactory http(loop);
    http.enqueue(FakeReply::withBody(R"({"error":false})", 500));

    std::vector<std::string> seen;
    auto session = http.makeSession({{{"X-APP", "velmomac"}}, std::nullopt});
    UrlRequest first;
    first.url = "https://example.invalid/v2/nearby/";
    first.httpMethod = "POST";
    first.httpBody = {'{', '}'};
    auto task1 = session->dataTask(first, [&](auto body, auto response, auto error) {
        ASSERT_TRUE(body && response);
        EXPECT_FALSE(error);
        seen.push_back(std::string(body->begin(), body->end()) + "/" + std::to_string(response->statusCode));
    });
    auto task2 = http.makeSession({})->dataTask(UrlRequest{}, [&](auto body, auto response, auto error) {
        EXPECT_FALSE(body || response);
        ASSERT_TRUE(error);
        seen.push_back("error " + std::to_string(error->code));
    });
    task1->resume();
    task2->resume();
    task1.reset();  // a started task lives on without the caller
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(http.waitingCount(), 1u);

    http.enqueue(FakeReply::failure(UrlError::timedOut));
    EXPECT_TRUE(seen.empty());  // delivered through the run loop only
    loop.runPending();
    EXPECT_EQ(seen, (std::vector<std::string>{R"({"error":false}/500)", "error -1001"}));

    ASSERT_EQ(http.requests().size(), 2u);
    EXPECT_EQ(http.requests()[0].session, 0);
    EXPECT_EQ(http.requests()[0].configuration.additionalHeaders.at("X-APP"), "velmomac");
    EXPECT_EQ(http.requests()[0].request.httpMethod, "POST");
    EXPECT_EQ(http.requests()[0].bodyText(), "{}");
    EXPECT_EQ(http.requests()[1].session, 1);
    EXPECT_EQ(http.sessions().size(), 2u);
}
