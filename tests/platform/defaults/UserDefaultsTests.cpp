// A suite as programs use it: lossless storage, the folder, typed access, transactions and an unusable folder.
// Programs writing at once: the favourites test in tests/core/settings.

#include "platform/defaults/UserDefaults.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

namespace velmo {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

class UserDefaultsTest : public test::TempHome {};

// Every kind reads back from a reopened suite with its kind and its exact bits.
TEST_F(UserDefaultsTest, EveryValueRoundTripsLosslessly) {
    using V = PlistValue;
    using L = std::numeric_limits<double>;
    // clang-format off
    const V values[] = {
        V(true), V(INT64_MIN), V(INT64_MAX), V(0.1F), V(std::numeric_limits<float>::denorm_min()), V(0.1), V(1.0 / 3),
        V(-4.9e-324), V(5.0), V(L::max()), V(L::infinity()), V(-std::numeric_limits<float>::infinity()), V(""),
        V("Kálvin tér \"quoted\" \n\t\\ 🚋"), V(std::string("nul\0inside", 10)), V("\xff\xfe not utf-8"),
        V(PlistList{}), V(PlistMap{}), V(PlistList{1, 1.0, 1.0F, "1", true, V(), PlistList{2}, PlistMap{{"x", 3.0F}}}),
        V(PlistMap{{"deep", PlistMap{{"list", PlistList{PlistMap{{"float", 0.1F}, {"double", 0.1}}}}}}}),
        V(PlistMap{{std::string("\xc3\x28"), 1}, {"plain", 2}})};
    // clang-format on
    {
        UserDefaults writer("kinds");
        for (std::size_t i = 0; i < std::size(values); ++i)
            writer.setObject(std::to_string(i), values[i]);
        writer.setDouble("-0", -0.0);
        writer.setDouble("nan", L::quiet_NaN());
        writer.setFloat("floatNan", std::numeric_limits<float>::quiet_NaN());
    }
    UserDefaults reader("kinds");
    for (std::size_t i = 0; i < std::size(values); ++i)
        EXPECT_EQ(reader.objectForKey(std::to_string(i)), values[i]) << i;
    const double negativeZero = reader.doubleForKey("-0");
    EXPECT_EQ(std::memcmp(&negativeZero, "\0\0\0\0\0\0\0\x80", 8), 0);
    EXPECT_TRUE(reader.objectForKey("nan")->ifDouble() && std::isnan(reader.doubleForKey("nan")));
    EXPECT_TRUE(reader.objectForKey("floatNan")->ifFloat() && std::isnan(reader.floatForKey("floatNan")));
}

TEST_F(UserDefaultsTest, SuiteIsOneFileInAPrivateFolder) {
    UserDefaults("group.test").setInteger("a", 1);
    EXPECT_TRUE(fs::exists(suiteFolder() / "group.test.sqlite"));
    struct stat st {};
    ASSERT_EQ(::stat(suiteFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
    EXPECT_EQ(UserDefaults::standard().suiteName(), "defaults_tests");  // named after the executable

    // XDG_CONFIG_HOME unset, empty or relative: ~/.config.
    const ScopedEnv home("HOME", (root() / "home").string());
    for (const std::optional<std::string>& xdg : {std::optional<std::string>(), std::optional<std::string>(""),
                                                  std::optional<std::string>("relative/config")}) {
        const ScopedEnv config("XDG_CONFIG_HOME", xdg);
        UserDefaults("fallback").setBool("set", true);
        EXPECT_TRUE(fs::exists(root() / "home/.config/velmomac/fallback.sqlite"));
    }
}

TEST_F(UserDefaultsTest, ASecondObjectSeesEveryWriteAtOnceAndTransactionsCommitWhole) {
    UserDefaults defaults("typed");
    UserDefaults other("typed");
    defaults.setBool("b", true);
    defaults.setInteger("i", 300);
    defaults.setFloat("f", 300.5F);
    defaults.setDouble("d", 1500.0);
    EXPECT_EQ(other.dictionaryRepresentation(),
              (PlistMap{{"b", true}, {"i", int64_t{300}}, {"f", 300.5F}, {"d", 1500.0}}));
    defaults.setDouble("i", 1.0);  // an overwrite changes the kind
    defaults.removeObjectForKey("b");
    defaults.setObject("d", PlistValue());  // null removes
    EXPECT_EQ(other.dictionaryRepresentation(), (PlistMap{{"i", 1.0}, {"f", 300.5F}}));
    EXPECT_TRUE(UserDefaults("other.suite").dictionaryRepresentation().empty());
    other.removeAllObjects();
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());

    // Transactions commit together or not at all.
    defaults.setInteger("kept", 1);
    EXPECT_TRUE(defaults.transaction([&] {
        defaults.setInteger("a", 1);
        defaults.setInteger("b", defaults.integerForKey("a") + 1);  // reads see the transaction
    }));
    EXPECT_EQ(other.dictionaryRepresentation(), (PlistMap{{"kept", 1}, {"a", 1}, {"b", 2}}));

    EXPECT_THROW(defaults.transaction([&] {
        defaults.setInteger("kept", 2);
        defaults.removeAllObjects();
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(other.dictionaryRepresentation(), (PlistMap{{"kept", 1}, {"a", 1}, {"b", 2}}));
    defaults.setInteger("later", 5);  // usable again afterwards
    EXPECT_EQ(other.integerForKey("later"), 5);
}

TEST_F(UserDefaultsTest, UnwritableFolderReadsDefaultsAndReportsOnce) {
    // Tests may run as root, where permissions stop nothing: a file where a folder belongs does.
    const fs::path config = dir().write("blocker", "not a folder") / "config";
    const ScopedEnv xdg("XDG_CONFIG_HOME", config.string());
    testing::internal::CaptureStderr();
    {
        UserDefaults defaults("blocked");
        EXPECT_FALSE(defaults.isWritable());
        EXPECT_FALSE(defaults.synchronize());
        defaults.setInteger("n", 5);
        defaults.removeAllObjects();
        EXPECT_FALSE(defaults.transaction([] {}));
        EXPECT_EQ(defaults.integerForKey("n"), 0);
        EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
        UserDefaults("blocked").setInteger("n", 6);
    }
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find((config / "velmomac").string()), std::string::npos) << output;

    testing::internal::CaptureStderr();
    UserDefaults escaping("../escape");  // a suite name cannot leave the folder
    escaping.setInteger("n", 1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("../escape"), std::string::npos);
    EXPECT_FALSE(escaping.isWritable());
}

}  // namespace
}  // namespace velmo
