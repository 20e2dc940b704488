// The update check over scripted sessions and a manual run loop.

#include "platform/http/FakeHttp.h"
#include "platform/runloop/ManualRunLoop.h"
#include "platform/update/UpdateChecker.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

namespace velmo::test {
namespace {

class UpdateCheckerTest : public TempHome {};

// Only a newer version (then a newer build) is reported; failures are silent.
TEST_F(UpdateCheckerTest, OnlyANewerVersionIsReported) {
    const std::vector<std::pair<FakeReply, bool>> cases{
        {FakeReply::withBody(R"({"version":"0.2.0","build":1,"url":"https://x.example/dl","notes":"új"})"), true},
        {FakeReply::withBody(R"({"version":"0.1.0","build":8})"), true},
        {FakeReply::withBody(R"({"version":"0.10.0"})"), true},
        {FakeReply::withBody(R"({"version":"0.1","build":7})"), false},
        {FakeReply::withBody(R"({"version":"0.0.9","build":99})"), false},
        {FakeReply::withBody(R"({"version":"banana"})"), false},
        {FakeReply::withBody(R"([1,2])"), false},
        {FakeReply::withBody("not json"), false},
        {FakeReply::withBody(R"({"version":"9.0"})", 404), false},
        {FakeReply::failure(UrlError::cannotConnectToHost), false}};
    ManualRunLoop loop;
    FakeUrlSessionFactory sessions{loop};
    UpdateChecker checker(sessions, "0.1.0", 7);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        sessions.enqueue(cases[i].first);
        int reported = 0;
        checker.check("https://velmomac.example/appcast.json", [&](const UpdateInfo&) { ++reported; });
        loop.runPending();
        EXPECT_EQ(reported, cases[i].second ? 1 : 0) << "case " << i;
    }
    EXPECT_EQ(sessions.requests().back().request.url, "https://velmomac.example/appcast.json");
    // Only a web address may become a link.
    EXPECT_EQ(UpdateChecker::parseFeed(R"x({"version":"1.0","url":"javascript:alert(1)"})x")->url, "");
    EXPECT_EQ(UpdateChecker::parseFeed(R"({"version":"1.0","url":"https://a.example/"})")->url, "https://a.example/");
}

}  // namespace
}  // namespace velmo::test
