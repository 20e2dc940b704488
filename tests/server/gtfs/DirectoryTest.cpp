#include "server/gtfs/Directory.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;
using namespace velmo::gtfs;

namespace {

class DirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/velmo-gtfs-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        root_ = tmpl;
    }
    void TearDown() override { fs::remove_all(root_); }

    void makeZip(const fs::path& path, const std::string& member, const std::string& text) {
        int err = 0;
        zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        ASSERT_NE(z, nullptr);
        zip_source_t* src = zip_source_buffer(z, text.data(), text.size(), 0);
        ASSERT_GE(zip_file_add(z, member.c_str(), src, ZIP_FL_OVERWRITE), 0);
        ASSERT_EQ(zip_close(z), 0);
    }

    fs::path root_;
};

}  // namespace

TEST_F(DirectoryTest, ZipMembersAtRootOrInOneSubfolder) {
    makeZip(root_ / "flat.zip", "stops.txt", "stop_id\n1\n");
    makeZip(root_ / "nested.zip", "feed/stops.txt", "stop_id\n2\n");
    EXPECT_EQ(openDirectory((root_ / "flat.zip").string())->read("stops.txt"), "stop_id\n1\n");
    EXPECT_EQ(openDirectory((root_ / "nested.zip").string())->read("stops.txt"), "stop_id\n2\n");
    EXPECT_EQ(openDirectory((root_ / "flat.zip").string())->read("trips.txt"), std::nullopt);
}

TEST_F(DirectoryTest, FolderReadsFilesAndReportsAbsentOnes) {
    fs::create_directories(root_ / "feed");
    std::ofstream(root_ / "feed" / "stops.txt") << "stop_id\n1\n";
    const auto dir = openDirectory((root_ / "feed").string());
    EXPECT_EQ(dir->read("stops.txt"), "stop_id\n1\n");
    EXPECT_EQ(dir->read("routes.txt"), std::nullopt);
}

TEST_F(DirectoryTest, MissingPathAndNonZipFileThrow) {
    EXPECT_THROW(openDirectory((root_ / "nope.zip").string()), std::runtime_error);
    std::ofstream(root_ / "junk.zip") << "not a zip";
    EXPECT_THROW(openDirectory((root_ / "junk.zip").string()), std::runtime_error);
}
