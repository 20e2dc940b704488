#include "server/gtfs/Csv.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using velmo::gtfs::CsvReader;

namespace {

std::vector<std::vector<std::string>> rows(CsvReader& r, int columns) {
    std::vector<std::vector<std::string>> out;
    while (r.next()) {
        std::vector<std::string> row;
        for (int c = 0; c < columns; ++c) {
            row.emplace_back(r.field(c));
        }
        out.push_back(row);
    }
    return out;
}

}  // namespace

TEST(CsvReader, ReadsBomCrlfAndQuotedFields) {
    CsvReader r(
        "\xEF\xBB\xBFstop_id,stop_name\r\n"
        "1,\"Deák tér, M\"\r\n"
        "2,\"A \"\"B\"\" C\"\r\n"
        "3,\"two\r\nlines\"\r\n"
        "\r\n"
        "4,  padded  \r\n");
    EXPECT_EQ(r.column("stop_id"), 0);
    EXPECT_EQ(r.column("stop_name"), 1);
    EXPECT_EQ(r.column("missing"), -1);
    const auto got = rows(r, 2);
    const std::vector<std::vector<std::string>> want{
        {"1", "Deák tér, M"}, {"2", "A \"B\" C"}, {"3", "two\r\nlines"}, {"4", "padded"}};
    EXPECT_EQ(got, want);
}

TEST(CsvReader, CountsPhysicalLinesForMessages) {
    CsvReader r("a,b\n1,\"x\ny\"\n2,z\n");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), 2u);
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.line(), 4u);
    EXPECT_FALSE(r.next());
}

TEST(CsvReader, ShortRowsAndMissingColumnsReadEmpty) {
    CsvReader r("a,b,c\n1\n1,2,3,4\n");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.field(0), "1");
    EXPECT_EQ(r.field(2), "");
    EXPECT_EQ(r.field(-1), "");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.field(2), "3");
    EXPECT_FALSE(r.next());
}

TEST(CsvReader, LastLineWithoutLineEnd) {
    CsvReader r("a\r\nlast");
    ASSERT_TRUE(r.next());
    EXPECT_EQ(r.field(0), "last");
    EXPECT_FALSE(r.next());
}

TEST(CsvReader, EmptyInputHasNoColumnsAndNoRows) {
    CsvReader r("");
    EXPECT_EQ(r.column("a"), -1);
    EXPECT_FALSE(r.next());
}
