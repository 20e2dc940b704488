#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::gtfs {

// Reads one CSV file of a feed (RFC 4180): a UTF-8 byte-order mark, CRLF or LF
// line ends, quoted fields with doubled quotes and embedded line breaks.
// Unquoted fields are trimmed of surrounding blanks. Columns are looked up by
// name once; a row shorter than the header reads its missing fields as empty.
class CsvReader {
public:
    explicit CsvReader(std::string_view data);

    // Index of the named column, or -1 when the file has no such column.
    [[nodiscard]] int column(std::string_view name) const;
    [[nodiscard]] const std::vector<std::string>& header() const { return header_; }

    // Advances to the next non-blank row; false at the end of the data.
    bool next();
    // The field of the current row in column `index`; empty for -1 or a short row.
    [[nodiscard]] std::string_view field(int index) const;
    // Physical line (1-based) on which the current row starts.
    [[nodiscard]] std::size_t line() const { return rowLine_; }

private:
    bool readRecord(std::vector<std::string>& out);

    std::string_view data_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    std::size_t rowLine_ = 0;
    std::vector<std::string> header_;
    std::vector<std::string> row_;
};

}  // namespace velmo::gtfs
