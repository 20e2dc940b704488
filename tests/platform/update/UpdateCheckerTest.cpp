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
    const auto body = [](const char* text) { return FakeReply::withBody(text); };
    // clang-format off
    const std::vector<std::pair<FakeReply, bool>> cases{
        {body(R"({"version":"0.2.0","build":1,"url":"https://x.example/dl","notes":"új"})"), true},
        {body(R"({"version":"0.1.0","build":8})"), true}, {body(R"({"version":"0.10.0"})"), true},
        {body(R"({"version":"0.1","build":7})"), false}, {body(R"({"version":"0.0.9","build":99})"), false},
        {body(R"({"version":"banana"})"), false}, {body(R"([1,2])"), false}, {body("not json"), false},
        {FakeReply::withBody(R"({"version":"9.0"})", 404), false},
        {FakeReply::failure(UrlError::cannotConnectToHost), false}};
    // clang-format on
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
