// The update check over scripted sessions and a manual run loop.

#include "platform/defaults/UserDefaults.h"
#include "platform/http/FakeHttp.h"
#include "platform/runloop/ManualRunLoop.h"
#include "platform/update/UpdateChecker.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace velmo::test {
namespace {

class UpdateCheckerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-update-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        std::filesystem::remove_all(folder_);
    }
    std::string folder_;
    ManualRunLoop loop_;
    FakeUrlSessionFactory sessions_{loop_};
};

TEST_F(UpdateCheckerTest, FeedAddressComesFromTheDefaultsOrTheBuiltInFeed) {
    UserDefaults defaults("velmomac");
    EXPECT_EQ(UpdateChecker::feedUrl(defaults), "https://velmomac.example/appcast.json");
    defaults.setObject("SUFeedURL", "https://beta.velmomac.example/");
    EXPECT_EQ(UpdateChecker::feedUrl(defaults), "https://beta.velmomac.example/");
}

TEST_F(UpdateCheckerTest, OnlyANewerVersionIsReported) {
    struct Case {
        std::string feed;
        bool reported;
    };
    const std::vector<Case> cases{
        {R"({"version":"0.2.0","build":1,"url":"https://x.example/dl","notes":"új"})", true},
        {R"({"version":"0.1.0","build":8,"url":"https://x.example/dl"})", true},
        {R"({"version":"0.1","build":7})", false},
        {R"({"version":"0.0.9","build":99})", false},
        {R"({"version":"0.10.0"})", true},
        {R"({"version":"banana"})", false},
        {R"([1,2])", false},
        {"not json", false},
    };
    UpdateChecker checker(sessions_, "0.1.0", 7);
    for (const Case& c : cases) {
        sessions_.enqueue(FakeReply::withBody(c.feed));
        int reported = 0;
        checker.check("https://velmomac.example/appcast.json", [&](const UpdateInfo&) { ++reported; });
        loop_.runPending();
        EXPECT_EQ(reported, c.reported ? 1 : 0) << c.feed;
    }
    EXPECT_EQ(sessions_.requests().back().request.url, "https://velmomac.example/appcast.json");
}

TEST_F(UpdateCheckerTest, FailuresAreSilent) {
    UpdateChecker checker(sessions_, "0.1.0", 7);
    sessions_.enqueue(FakeReply::failure(UrlError::cannotConnectToHost));
    sessions_.enqueue(FakeReply::withBody(R"({"version":"9.0"})", 404));
    int reported = 0;
    checker.check("https://velmomac.example/appcast.json", [&](const UpdateInfo&) { ++reported; });
    checker.check("https://velmomac.example/appcast.json", [&](const UpdateInfo&) { ++reported; });
    loop_.runPending();
    EXPECT_EQ(reported, 0);
}

TEST_F(UpdateCheckerTest, OnlyWebAddressesBecomeLinks) {
    EXPECT_EQ(UpdateChecker::parseFeed(R"x({"version":"1.0","url":"javascript:alert(1)"})x")->url, "");
    EXPECT_EQ(UpdateChecker::parseFeed(R"({"version":"1.0","url":"https://a.example/"})")->url, "https://a.example/");
}

}  // namespace
}  // namespace velmo::test
