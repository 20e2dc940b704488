#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace velmo::synth::test {

// A whole CSV file read back strictly: RFC 4180 quoting, every row as wide as the header.
struct CsvTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    // Index of a column; throws std::out_of_range when the file lacks it.
    std::size_t column(std::string_view name) const;
    const std::string& at(std::size_t row, std::string_view name) const { return rows[row][column(name)]; }
};

// Throws std::runtime_error on a stray or unterminated quote or a ragged row.
CsvTable parseCsv(std::string_view text);

// "25:10:00" → seconds after midnight; throws on anything else.
int parseTime(std::string_view text);

}  // namespace velmo::synth::test
