#include "platform/defaults/UserDefaults.h"

#include "TempConfigHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <stdexcept>

namespace velmo {
namespace {

namespace fs = std::filesystem;

class UserDefaultsTest : public testing_support::TempConfigHome {};

TEST_F(UserDefaultsTest, SuiteIsOneFileInAPrivateFolder) {
    UserDefaults defaults("group.test");
    EXPECT_EQ(UserDefaults::configFolder(), suiteFolder().string());
    EXPECT_EQ(defaults.path(), (suiteFolder() / "group.test.sqlite").string());
    EXPECT_EQ(defaults.suiteName(), "group.test");
    EXPECT_TRUE(defaults.isWritable());
    defaults.setInteger("a", 1);
    EXPECT_TRUE(fs::exists(defaults.path()));
    struct stat st {};
    ASSERT_EQ(::stat(suiteFolder().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700U);
}

TEST_F(UserDefaultsTest, FallsBackToHomeConfigWhenXdgIsUnsetEmptyOrRelative) {
    ::setenv("HOME", (root() / "home").c_str(), 1);
    for (const char* xdg : {static_cast<const char*>(nullptr), "", "relative/config"}) {
        if (xdg != nullptr) {
            ::setenv("XDG_CONFIG_HOME", xdg, 1);
        } else {
            ::unsetenv("XDG_CONFIG_HOME");
        }
        const fs::path expected = root() / "home" / ".config" / "velmomac";
        EXPECT_EQ(UserDefaults::configFolder(), expected.string());
        UserDefaults defaults("fallback");
        defaults.setBool("set", true);
        EXPECT_TRUE(fs::exists(expected / "fallback.sqlite"));
        EXPECT_TRUE(UserDefaults("fallback").boolForKey("set"));
    }
}

TEST_F(UserDefaultsTest, EveryKindRoundTripsExactly) {
    const PlistValue nested(PlistMap{
        {"ints and doubles", PlistList{1, 1.0, 2.5F, int64_t{-7}}},
        {"deep", PlistMap{{"list", PlistList{PlistMap{{"float", 0.1F}, {"double", 0.1}}}}}},
        {"text", "Örs vezér tere"},
    });
    const std::pair<const char*, PlistValue> values[] = {
        {"bool", PlistValue(true)},
        {"int", PlistValue(std::numeric_limits<int64_t>::min())},
        {"float", PlistValue(0.1F)},
        {"double", PlistValue(0.1)},
        {"string", PlistValue("Deák Ferenc tér")},
        {"emptyString", PlistValue("")},
        {"list", PlistValue(PlistList{"a", 2, 3.0F})},
        {"nested", nested},
    };
    {
        UserDefaults writer("kinds");
        for (const auto& [key, value] : values) {
            writer.setObject(key, value);
        }
    }
    UserDefaults reader("kinds");
    for (const auto& [key, value] : values) {
        EXPECT_EQ(reader.objectForKey(key), value) << key;
    }
    EXPECT_EQ(reader.dictionaryRepresentation().size(), std::size(values));
}

TEST_F(UserDefaultsTest, TypedWritersStoreTheirKind) {
    UserDefaults defaults("typed");
    defaults.setBool("b", true);
    defaults.setInteger("i", 300);
    defaults.setFloat("f", 300.0F);
    defaults.setDouble("d", 1500.0);
    EXPECT_EQ(defaults.objectForKey("b")->kind(), PlistValue::Kind::Bool);
    EXPECT_EQ(defaults.objectForKey("i")->kind(), PlistValue::Kind::Integer);
    EXPECT_EQ(defaults.objectForKey("f")->kind(), PlistValue::Kind::Float);
    EXPECT_EQ(defaults.objectForKey("d")->kind(), PlistValue::Kind::Double);
    EXPECT_EQ(defaults.integerForKey("f"), 300);
    EXPECT_EQ(defaults.floatForKey("i"), 300.0F);
    EXPECT_TRUE(defaults.boolForKey("d"));
    defaults.setObject("s", "2.5");
    EXPECT_EQ(defaults.doubleForKey("s"), 2.5);
    EXPECT_EQ(defaults.stringForKey("s"), "2.5");
    EXPECT_EQ(defaults.stringForKey("i"), std::nullopt);
}

TEST_F(UserDefaultsTest, AbsentKeysReadAsDefaults) {
    UserDefaults defaults("absent");
    EXPECT_EQ(defaults.objectForKey("missing"), std::nullopt);
    EXPECT_EQ(defaults.stringForKey("missing"), std::nullopt);
    EXPECT_FALSE(defaults.boolForKey("missing"));
    EXPECT_EQ(defaults.integerForKey("missing"), 0);
    EXPECT_EQ(defaults.floatForKey("missing"), 0.0F);
    EXPECT_EQ(defaults.doubleForKey("missing"), 0.0);
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
}

TEST_F(UserDefaultsTest, RemovingKeys) {
    UserDefaults defaults("remove");
    defaults.setInteger("a", 1);
    defaults.setInteger("b", 2);
    defaults.setObject("c", "three");
    defaults.removeObjectForKey("a");
    defaults.removeObjectForKey("never there");
    EXPECT_EQ(defaults.objectForKey("a"), std::nullopt);
    defaults.setObject("b", PlistValue());  // null removes
    EXPECT_EQ(defaults.dictionaryRepresentation(), (PlistMap{{"c", "three"}}));
    defaults.setInteger("d", 4);
    defaults.removeAllObjects();
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    EXPECT_TRUE(UserDefaults("remove").dictionaryRepresentation().empty());
    defaults.setInteger("after", 5);
    EXPECT_EQ(defaults.integerForKey("after"), 5);
}

TEST_F(UserDefaultsTest, OverwriteChangesKind) {
    UserDefaults defaults("overwrite");
    defaults.setInteger("k", 1);
    defaults.setDouble("k", 1.0);
    EXPECT_EQ(defaults.objectForKey("k"), PlistValue(1.0));
    EXPECT_EQ(defaults.dictionaryRepresentation().size(), 1U);
}

TEST_F(UserDefaultsTest, SecondObjectSeesWritesAtOnce) {
    UserDefaults first("shared");
    UserDefaults second("shared");
    EXPECT_EQ(second.integerForKey("n"), 0);
    first.setInteger("n", 42);
    EXPECT_EQ(second.integerForKey("n"), 42);
    second.removeObjectForKey("n");
    EXPECT_EQ(first.objectForKey("n"), std::nullopt);
    EXPECT_TRUE(first.synchronize());
}

TEST_F(UserDefaultsTest, SuitesAreSeparate) {
    UserDefaults a("suite.a");
    UserDefaults b("suite.b");
    a.setInteger("k", 1);
    EXPECT_EQ(b.objectForKey("k"), std::nullopt);
}

TEST_F(UserDefaultsTest, TransactionCommitsTogether) {
    UserDefaults defaults("tx");
    UserDefaults other("tx");
    const bool committed = defaults.transaction([&] {
        defaults.setInteger("a", 1);
        defaults.setInteger("b", defaults.integerForKey("a") + 1);  // reads see the transaction
        defaults.removeObjectForKey("missing");
    });
    EXPECT_TRUE(committed);
    EXPECT_EQ(other.integerForKey("a"), 1);
    EXPECT_EQ(other.integerForKey("b"), 2);
}

TEST_F(UserDefaultsTest, TransactionRollsBackWhenBodyThrows) {
    UserDefaults defaults("rollback");
    defaults.setInteger("kept", 1);
    EXPECT_THROW(defaults.transaction([&] {
        defaults.setInteger("kept", 2);
        defaults.setInteger("new", 3);
        defaults.removeAllObjects();
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(defaults.dictionaryRepresentation(), (PlistMap{{"kept", 1}}));
    // The object is usable again afterwards.
    defaults.setInteger("later", 4);
    EXPECT_EQ(UserDefaults("rollback").integerForKey("later"), 4);
}

TEST_F(UserDefaultsTest, NestedTransactionRollsBackOnlyItsPart) {
    UserDefaults defaults("nested");
    const bool committed = defaults.transaction([&] {
        defaults.setInteger("outer", 1);
        EXPECT_TRUE(defaults.transaction([&] { defaults.setInteger("inner", 2); }));
        try {
            defaults.transaction([&] {
                defaults.setInteger("undone", 3);
                throw std::runtime_error("inner");
            });
        } catch (const std::runtime_error&) {
        }
    });
    EXPECT_TRUE(committed);
    EXPECT_EQ(UserDefaults("nested").dictionaryRepresentation(), (PlistMap{{"outer", 1}, {"inner", 2}}));
}

TEST_F(UserDefaultsTest, UnwritableFolderReadsDefaultsAndReportsOnce) {
    // Tests may run as root, where permissions do not stop writes: a regular file where a
    // folder is needed does.
    std::ofstream(root() / "blocker") << "not a folder";
    const fs::path config = root() / "blocker" / "config";
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);

    testing::internal::CaptureStderr();
    {
        UserDefaults defaults("blocked");
        EXPECT_FALSE(defaults.isWritable());
        EXPECT_FALSE(defaults.synchronize());
        defaults.setInteger("n", 5);
        defaults.setObject("s", "text");
        defaults.removeAllObjects();
        EXPECT_FALSE(defaults.transaction([] {}));
        EXPECT_EQ(defaults.objectForKey("n"), std::nullopt);
        EXPECT_EQ(defaults.integerForKey("n"), 0);
        EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
        UserDefaults again("blocked");
        again.setInteger("n", 6);
    }
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find((config / "velmomac").string()), std::string::npos) << output;
}

TEST_F(UserDefaultsTest, SuiteNameCannotLeaveTheFolder) {
    testing::internal::CaptureStderr();
    UserDefaults defaults("../escape");
    defaults.setInteger("n", 1);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(defaults.isWritable());
    EXPECT_FALSE(fs::exists(root() / "config" / "escape.sqlite"));
    EXPECT_NE(output.find("../escape"), std::string::npos);
}

TEST_F(UserDefaultsTest, StandardSuiteIsNamedAfterTheExecutable) {
    UserDefaults& standard = UserDefaults::standard();
    EXPECT_EQ(&standard, &UserDefaults::standard());
    EXPECT_EQ(standard.suiteName(), "defaults_tests");
}

}  // namespace
}  // namespace velmo
