// Suite files that are damaged, of another kind or written by a newer version.

#include "platform/defaults/UserDefaults.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <regex>

namespace velmo {
namespace {

namespace fs = std::filesystem;

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
