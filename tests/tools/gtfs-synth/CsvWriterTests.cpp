#include "CsvTable.h"

#include "tools/gtfs-synth/CsvWriter.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace velmo::synth {
namespace {

using test::parseCsv;

TEST(CsvWriter, AwkwardTextRoundTrips) {
    const std::vector<std::string> values = {
        "Pipacs park",
        "Kavicsos sor, forduló",
        "\"Hullám\" hajójárat",
        "egy \"\" két",
        "sor\ntörés",
        ",",
        "\"",
        "",
        "Ősz – ünnep, \"nagy\", kicsi",
    };
    MemorySink sink;
    {
        CsvWriter out(sink, "t.txt", {"id", "name"});
        for (std::size_t i = 0; i < values.size(); ++i)
            out.number(static_cast<std::int64_t>(i)).text(values[i]).endRow();
    }
    const auto table = parseCsv(sink.files.at("t.txt"));
    ASSERT_EQ(table.rows.size(), values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        EXPECT_EQ(table.at(i, "id"), std::to_string(i));
        EXPECT_EQ(table.at(i, "name"), values[i]);
    }
}

TEST(CsvWriter, QuotesOnlyWhenNeeded) {
    MemorySink sink;
    CsvWriter out(sink, "t.txt", {"a", "b"});
    out.text("Gesztenyés utca").text("Malomköz, tér").endRow();
    out.close();
    EXPECT_EQ(sink.files.at("t.txt"), "a,b\nGesztenyés utca,\"Malomköz, tér\"\n");
    EXPECT_EQ(out.rows(), 1);
}

TEST(CsvWriter, NumbersTimesAndCoordinates) {
    MemorySink sink;
    CsvWriter out(sink, "t.txt", {"n", "lat", "lon", "t1", "t2", "t3", "e"});
    out.number(-42).degrees(47.4979).degrees(-3.5).time(0).time(25 * 3600 + 10 * 60).time(99 * 3600 + 3599);
    out.empty().endRow();
    EXPECT_THROW(out.time(-1), std::logic_error);
    EXPECT_THROW(out.time(100 * 3600), std::logic_error);
    out.close();
    EXPECT_EQ(sink.files.at("t.txt"), "n,lat,lon,t1,t2,t3,e\n-42,47.497900,-3.500000,00:00:00,25:10:00,99:59:59,\n");
}

TEST(CsvWriter, LargeFilesArriveWhole) {
    MemorySink sink;
    {
        CsvWriter out(sink, "big.txt", {"i"});
        for (int i = 0; i < 300000; ++i)
            out.number(i).endRow();
    }
    const auto table = parseCsv(sink.files.at("big.txt"));
    ASSERT_EQ(table.rows.size(), 300000u);
    EXPECT_EQ(table.rows.back().front(), "299999");
}

// The reader the feed tests rely on must itself refuse broken quoting.
TEST(CsvTableReader, RejectsBrokenQuoting) {
    EXPECT_THROW(parseCsv("a,b\nx,\"open\n"), std::runtime_error);
    EXPECT_THROW(parseCsv("a,b\nx,y\"z\n"), std::runtime_error);
    EXPECT_THROW(parseCsv("a,b\n\"x\"y,z\n"), std::runtime_error);
    EXPECT_THROW(parseCsv("a,b\nx,y,z\n"), std::runtime_error);
    EXPECT_EQ(parseCsv("a,b\n\"x,\"\"y\"\"\",\n").at(0, "a"), "x,\"y\"");
}

}  // namespace
}  // namespace velmo::synth
