// Stored values and suites: the typed readers, the stored text, lossless storage, the folder, typed access,
// transactions, an unusable folder, and suite files that are damaged, of another kind or written by a newer version.
// Programs writing at once: the favourites test in tests/core/settings.

#include "platform/defaults/PlistCodec.h"
#include "platform/defaults/PlistValue.h"
#include "platform/defaults/UserDefaults.h"
#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <regex>
#include <stdexcept>

namespace velmo {
namespace {

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(PlistValue, TypedReadersConvert) {
    // clang-format off
    const std::tuple<PlistValue, bool, int64_t, double> cases[] = {  // toBool, toInteger, toDouble
        {PlistValue(), false, 0, 0.0},     {true, true, 1, 1.0},            {int64_t{-42}, true, -42, -42.0},
        {0, false, 0, 0.0},                {2.75F, true, 2, 2.75},          {-3.99, true, -3, -3.99},
        {-0.0, false, 0, -0.0},            {nan, true, 0, nan},             {inf, true, 0, inf},
        {-1e19, true, 0, -1e19},           {"12", true, 12, 12.0},          {" -3.5 ", true, -3, -3.5},
        {"\t+7\n", true, 7, 7.0},          {"1.5e3", true, 1500, 1500.0},   {".5", true, 0, 0.5},
        {"5.", true, 5, 5.0},              {"0.0", false, 0, 0.0},          {"1e999", true, 0, inf},
        {"99999999999999999999", true, 0, 1e20},  {PlistList{1}, false, 0, 0.0},  {PlistMap{{"a", 1}}, false, 0, 0.0},
        {std::numeric_limits<float>::quiet_NaN(), true, 0, nan},
        {kMax, true, kMax, 9223372036854775807.0},
        {-9223372036854775808.0, true, std::numeric_limits<int64_t>::min(), -9223372036854775808.0},
        {9223372036854775808.0, true, 0, 9223372036854775808.0},  // the first double beyond int64
        {"9007199254740993", true, 9007199254740993, 9007199254740992.0}};  // exact beyond 53 bits
    // clang-format on
    const auto same = [](double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); };
    for (const auto& [value, asBool, asInteger, asDouble] : cases) {
        SCOPED_TRACE(encodeStoredValue(value));
        EXPECT_EQ(value.toBool(), asBool);
        EXPECT_EQ(value.toInteger(), asInteger);
        EXPECT_TRUE(same(value.toDouble(), asDouble)) << value.toDouble();
        EXPECT_TRUE(same(value.toFloat(), static_cast<float>(asDouble))) << value.toFloat();
    }
    // Only a whole decimal number counts as a numeric string.
    for (const char* text : {"", "   ", "true", "12abc", "0x10", "inf", "nan", "3,5", "-", ".", "1e", "1 2"}) {
        const PlistValue value(text);
        EXPECT_FALSE(value.toBool()) << text;
        EXPECT_EQ(value.toInteger(), 0) << text;
        EXPECT_EQ(value.toDouble(), 0.0) << text;
    }
    EXPECT_EQ(PlistValue(1e300).toFloat(), std::numeric_limits<float>::infinity());
    EXPECT_EQ(PlistValue(int64_t{16777217}).toFloat(), 16777216.0F);  // rounded once, not twice
    EXPECT_EQ(PlistValue(12).toString(), std::nullopt);
    EXPECT_NE(PlistValue(1), PlistValue(1.0));
    EXPECT_NE(PlistValue(1.0F), PlistValue(1.0));
}

// The stored form is tagged JSON that sqlite3 shows readably; files written earlier must keep reading the same.
TEST(PlistCodec, StoredTextIsTaggedJson) {
    EXPECT_EQ(encodeStoredValue(PlistValue(5)), R"({"int":5})");
    EXPECT_EQ(encodeStoredValue(PlistValue(PlistList{"a", 1.5F})), R"({"list":[{"string":"a"},{"float":1.5}]})");
    EXPECT_EQ(decodeStoredValue(R"({"map":{"k":{"bool":true}}})"), PlistValue(PlistMap{{"k", true}}));
    for (const char* text :
         {"", "garbage", "5", "\"text\"", "{}", R"({"int":1,"bool":true})", R"({"int":1.5})",
          R"({"int":18446744073709551615})", R"({"bool":1})", R"({"colour":"red"})", R"({"list":[{"int":"x"}]})",
          R"({"bytes":"abc"})", R"({"double":"infinity"})", R"({"map":[]})"}) {
        EXPECT_EQ(decodeStoredValue(text), std::nullopt) << text;
    }
}

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

class UserDefaultsRecoveryTest : public test::TempHome {
protected:
    void write(const std::string& name, const std::string& bytes) const {
        test::writeFile(suiteFolder() / name, bytes);
    }
    // The files moved aside for this suite, sorted; with `companions` also their -wal and -shm.
    std::vector<fs::path> movedAside(const std::string& suite, bool companions = false) const {
        const std::regex name(suite + R"(\.sqlite\.corrupt-\d{8}T\d{6}Z(-\d+)?)" + (companions ? "(-wal|-shm)?" : ""));
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(suiteFolder()))
            if (std::regex_match(entry.path().filename().string(), name))
                found.push_back(entry.path());
        std::sort(found.begin(), found.end());
        return found;
    }
    void sql(const std::string& suite, const char* statements) {
        fs::create_directories(suiteFolder());
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((suiteFolder() / (suite + ".sqlite")).c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, statements, nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
};

TEST_F(UserDefaultsRecoveryTest, GarbageIsMovedAsideWithItsJournalAndTheSuiteStartsEmpty) {
    const std::string garbage(4096, '\x9c');
    write("garbled.sqlite", garbage);
    write("garbled.sqlite-wal", "stale journal");

    testing::internal::CaptureStderr();
    UserDefaults defaults("garbled");
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    const std::string output = testing::internal::GetCapturedStderr();

    const auto moved = movedAside("garbled", true);  // the file, its index and its journal
    ASSERT_EQ(moved.size(), 3U) << output;
    EXPECT_EQ(moved[1].string() + moved[2].string(), moved[0].string() + "-shm" + moved[0].string() + "-wal");
    EXPECT_EQ(test::readFile(moved[0]), garbage);
    EXPECT_EQ(test::readFile(moved[2]), "stale journal");
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find(moved[0].string()), std::string::npos) << output;

    defaults.setInteger("fresh", 1);
    EXPECT_EQ(UserDefaults("garbled").integerForKey("fresh"), 1);
    EXPECT_EQ(movedAside("garbled", true).size(), 3U);  // the new suite is sound
}

TEST_F(UserDefaultsRecoveryTest, ADamagedFileNeverReplacesOneMovedAsideEarlier) {
    // Earlier damaged files under every name the next half minute could give.
    for (std::time_t t = std::time(nullptr); t < std::time(nullptr) + 30; ++t) {
        char stamp[32];
        std::tm utc{};
        std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", ::gmtime_r(&t, &utc));
        write("twice.sqlite.corrupt-" + std::string(stamp), "earlier");
    }
    write("twice.sqlite", std::string(2048, 'B'));
    testing::internal::CaptureStderr();
    UserDefaults("twice").setInteger("n", 2);
    testing::internal::GetCapturedStderr();
    std::map<std::string, int> contents;
    for (const fs::path& moved : movedAside("twice"))
        ++contents[test::readFile(moved)];
    EXPECT_EQ(contents, (std::map<std::string, int>{{"earlier", 30}, {std::string(2048, 'B'), 1}}));
    EXPECT_EQ(UserDefaults("twice").integerForKey("n"), 2);
}

TEST_F(UserDefaultsRecoveryTest, ATruncatedDatabaseFoundOnReadIsMovedAside) {
    {
        UserDefaults defaults("truncated");
        defaults.transaction([&] {
            for (int i = 0; i < 2000; ++i)
                defaults.setObject("key" + std::to_string(i), std::string(300, 'x'));
        });
    }
    // Closing the last connection folded the journal into the file; cut it in half.
    const fs::path file = suiteFolder() / "truncated.sqlite";
    ASSERT_FALSE(fs::exists(file.string() + "-wal"));
    fs::resize_file(file, fs::file_size(file) / 2);

    testing::internal::CaptureStderr();
    UserDefaults defaults("truncated");
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    testing::internal::GetCapturedStderr();
    defaults.setInteger("fresh", 1);
    EXPECT_EQ(UserDefaults("truncated").dictionaryRepresentation(), (PlistMap{{"fresh", 1}}));
    EXPECT_EQ(movedAside("truncated").size(), 1U);
}

TEST_F(UserDefaultsRecoveryTest, AnEmptyFileIsAnEmptySuiteAndAnUnreadableValueIsAbsent) {
    write("blank.sqlite", "");
    UserDefaults("blank").setBool("b", true);
    sql("blank", "INSERT INTO defaults VALUES('bad', '{\"colour\":1}')");
    EXPECT_EQ(UserDefaults("blank").dictionaryRepresentation(), (PlistMap{{"b", true}}));
    EXPECT_TRUE(movedAside("blank", true).empty());
}

TEST_F(UserDefaultsRecoveryTest, ANewerFormatIsReadButNotWritten) {
    sql("newer",
        "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);"
        "INSERT INTO defaults VALUES('kept', '{\"int\":7}'); PRAGMA user_version=99;");
    testing::internal::CaptureStderr();
    UserDefaults defaults("newer");
    defaults.setInteger("kept", 8);
    defaults.removeAllObjects();
    UserDefaults again("newer");  // opened after the file was checked
    again.setInteger("kept", 9);
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(defaults.isWritable());
    EXPECT_FALSE(again.isWritable());
    EXPECT_EQ(defaults.integerForKey("kept"), 7);
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find((suiteFolder() / "newer.sqlite").string()), std::string::npos) << output;
}

}  // namespace
}  // namespace velmo
