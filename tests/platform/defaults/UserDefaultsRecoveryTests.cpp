// Suite files that are damaged, of another kind or written by a newer version.

#include "platform/defaults/UserDefaults.h"

#include "TempConfigHome.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>

namespace velmo {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

std::vector<fs::path> filesStartingWith(const fs::path& folder, const std::string& prefix) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().starts_with(prefix)) {
            found.push_back(entry.path());
        }
    }
    std::sort(found.begin(), found.end());
    return found;
}

// The damaged files moved aside for this suite, without their -wal and -shm companions.
std::vector<fs::path> movedAside(const fs::path& folder, const std::string& suite) {
    const std::regex name(suite + R"(\.sqlite\.corrupt-\d{8}T\d{6}Z(-\d+)?)");
    std::vector<fs::path> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (std::regex_match(entry.path().filename().string(), name)) {
            found.push_back(entry.path());
        }
    }
    return found;
}

class UserDefaultsRecoveryTest : public testing_support::TempConfigHome {
protected:
    void SetUp() override {
        TempConfigHome::SetUp();
        fs::create_directories(suiteFolder());
    }
};

TEST_F(UserDefaultsRecoveryTest, GarbageFileIsMovedAsideAndSuiteStartsEmpty) {
    const fs::path file = suiteFolder() / "garbled.sqlite";
    std::string garbage;
    for (int i = 0; i < 4096; ++i) {
        garbage += static_cast<char>((i * 37 + 11) % 256);
    }
    writeFile(file, garbage);
    writeFile(fs::path(file.string() + "-wal"), "stale journal");

    testing::internal::CaptureStderr();
    UserDefaults defaults("garbled");
    EXPECT_TRUE(defaults.dictionaryRepresentation().empty());
    const std::string output = testing::internal::GetCapturedStderr();

    // The file, its journal untouched, and the journal's index.
    const auto moved = filesStartingWith(suiteFolder(), "garbled.sqlite.corrupt-");
    ASSERT_EQ(moved.size(), 3U) << output;
    EXPECT_TRUE(std::regex_match(moved[0].filename().string(), std::regex(R"(garbled\.sqlite\.corrupt-\d{8}T\d{6}Z)")));
    EXPECT_EQ(moved[1].string(), moved[0].string() + "-shm");
    EXPECT_EQ(moved[2].string(), moved[0].string() + "-wal");
    EXPECT_EQ(readFile(moved[0]), garbage);
    EXPECT_EQ(readFile(moved[2]), "stale journal");
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
    EXPECT_NE(output.find(moved[0].string()), std::string::npos) << output;

    EXPECT_TRUE(defaults.isWritable());
    defaults.setInteger("fresh", 1);
    EXPECT_EQ(UserDefaults("garbled").integerForKey("fresh"), 1);
    // The new suite is a sound database: opening again moves nothing more aside.
    EXPECT_EQ(filesStartingWith(suiteFolder(), "garbled.sqlite.corrupt-").size(), 3U);
}

TEST_F(UserDefaultsRecoveryTest, SecondDamagedFileDoesNotOverwriteTheFirst) {
    const fs::path file = suiteFolder() / "twice.sqlite";
    writeFile(file, std::string(2048, 'A'));
    testing::internal::CaptureStderr();
    UserDefaults("twice").setInteger("n", 1);
    writeFile(file, std::string(2048, 'B'));  // a new file, as another program would write it
    fs::remove(fs::path(file.string() + "-wal"));
    fs::remove(fs::path(file.string() + "-shm"));
    UserDefaults("twice").setInteger("n", 2);
    testing::internal::GetCapturedStderr();

    const auto moved = movedAside(suiteFolder(), "twice");
    ASSERT_EQ(moved.size(), 2U);
    std::vector<std::string> contents{readFile(moved[0]), readFile(moved[1])};
    std::sort(contents.begin(), contents.end());
    EXPECT_EQ(contents, (std::vector<std::string>{std::string(2048, 'A'), std::string(2048, 'B')}));
    EXPECT_EQ(UserDefaults("twice").integerForKey("n"), 2);
}

TEST_F(UserDefaultsRecoveryTest, TruncatedDatabaseFoundOnReadIsMovedAside) {
    const std::string big(300, 'x');
    {
        UserDefaults defaults("truncated");
        defaults.transaction([&] {
            for (int i = 0; i < 2000; ++i) {
                defaults.setObject("key" + std::to_string(i), big);
            }
        });
    }
    // Closing the last connection folded the journal into the file; cut it in half.
    const fs::path file = suiteFolder() / "truncated.sqlite";
    ASSERT_FALSE(fs::exists(file.string() + "-wal"));
    fs::resize_file(file, fs::file_size(file) / 2);

    testing::internal::CaptureStderr();
    UserDefaults defaults("truncated");
    const PlistMap all = defaults.dictionaryRepresentation();
    const std::string output = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(all.empty());
    EXPECT_EQ(movedAside(suiteFolder(), "truncated").size(), 1U) << output;
    defaults.setInteger("fresh", 1);
    EXPECT_EQ(UserDefaults("truncated").dictionaryRepresentation(), (PlistMap{{"fresh", 1}}));
}

TEST_F(UserDefaultsRecoveryTest, EmptyFileIsAnEmptySuiteNotDamage) {
    writeFile(suiteFolder() / "blank.sqlite", "");
    UserDefaults defaults("blank");
    defaults.setBool("b", true);
    EXPECT_TRUE(UserDefaults("blank").boolForKey("b"));
    EXPECT_TRUE(filesStartingWith(suiteFolder(), "blank.sqlite.corrupt-").empty());
}

TEST_F(UserDefaultsRecoveryTest, NewerFormatIsReadButNotWritten) {
    const fs::path file = suiteFolder() / "newer.sqlite";
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TABLE defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);"
                           "INSERT INTO defaults VALUES('kept', '{\"int\":7}');"
                           "PRAGMA user_version=99;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

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
    EXPECT_NE(output.find(file.string()), std::string::npos) << output;
}

TEST_F(UserDefaultsRecoveryTest, UnreadableValueReadsAsAbsent) {
    {
        UserDefaults defaults("values");
        defaults.setInteger("good", 1);
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((suiteFolder() / "values.sqlite").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO defaults VALUES('bad', '{\"colour\":1}')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
    UserDefaults defaults("values");
    EXPECT_EQ(defaults.objectForKey("bad"), std::nullopt);
    EXPECT_EQ(defaults.integerForKey("bad"), 0);
    EXPECT_EQ(defaults.dictionaryRepresentation(), (PlistMap{{"good", 1}}));
}

}  // namespace
}  // namespace velmo
