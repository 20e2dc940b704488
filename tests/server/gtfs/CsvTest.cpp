#include "server/gtfs/Csv.h"
#include "server/gtfs/Directory.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>
#include <zip.h>

using namespace velmo::gtfs;
using Rows = std::vector<std::vector<std::string>>;

TEST(CsvReader, ReadsWhatFeedsWrite) {
    struct Case {
        const char* text;
        Rows rows;  // the first two columns of each row
    };
    const Case cases[] = {
        {"\xEF\xBB\xBFid,name\r\n1,\"Deák tér, M\"\r\n2,\"A \"\"B\"\" C\"\r\n3,\"two\r\nlines\"\r\n\r\n4,  padded  "
         "\r\n",
         {{"1", "Deák tér, M"}, {"2", "A \"B\" C"}, {"3", "two\r\nlines"}, {"4", "padded"}}},
        {"a,b,c\n1\n1,2,3,4\n", {{"1", ""}, {"1", "2"}}},  // short and long rows
        {"a\r\nlast", {{"last", ""}}},                     // no line end at the end
        {"", {}},
    };
    for (const auto& c : cases) {
        CsvReader r(c.text);
        Rows got;
        while (r.next()) {
            got.push_back({std::string(r.field(0)), std::string(r.field(1))});
        }
        EXPECT_EQ(got, c.rows) << c.text;
    }
    CsvReader r(
        "\xEF\xBB\xBF"
        "a,b\n1,\"x\ny\"\n2,z\n");
    EXPECT_EQ(r.column("a"), 0);  // past the byte-order mark
    EXPECT_EQ(r.column("b"), 1);
    EXPECT_EQ(r.column("missing"), -1);
    ASSERT_TRUE(r.next() && r.next());
    EXPECT_EQ(r.line(), 4u);  // physical lines, for messages
    EXPECT_EQ(r.field(-1), "");
}

TEST(Directory, ZipFolderAndFailures) {
    velmo::test::TempDir dir;
    auto makeZip = [&](const std::string& name, const std::string& member) {
        int err = 0;
        zip_t* z = zip_open((dir.path() / name).c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        ASSERT_NE(z, nullptr);
        static const std::string text = "stop_id\n1\n";
        ASSERT_GE(zip_file_add(z, member.c_str(), zip_source_buffer(z, text.data(), text.size(), 0), 0), 0);
        ASSERT_EQ(zip_close(z), 0);
    };
    makeZip("flat.zip", "stops.txt");
    makeZip("nested.zip", "feed/stops.txt");  // one sub-folder, as some publishers pack them
    dir.write("folder/stops.txt", "stop_id\n1\n");
    for (const char* name : {"flat.zip", "nested.zip", "folder"}) {
        const auto d = openDirectory((dir.path() / name).string());
        EXPECT_EQ(d->read("stops.txt"), "stop_id\n1\n") << name;
        EXPECT_EQ(d->read("trips.txt"), std::nullopt) << name;
    }
    dir.write("junk.zip", "not a zip");
    EXPECT_THROW(openDirectory((dir.path() / "junk.zip").string()), std::runtime_error);
    EXPECT_THROW(openDirectory((dir.path() / "nope.zip").string()), std::runtime_error);
}
