#pragma once
// A whole CSV file read back strictly, so that a fault of the writer fails the tests that
// read a feed: RFC 4180 quoting, line feeds only, a final line feed, every row as wide as
// the header. Anything else throws.

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::synth::test {

struct CsvTable {
    std::vector<std::string> header;
    std::vector<std::vector<std::string>> rows;

    const std::string& at(std::size_t row, std::string_view name) const {
        const auto column = std::find(header.begin(), header.end(), name);
        return rows.at(row).at(column == header.end() ? header.size() : column - header.begin());
    }
};

inline CsvTable parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    bool closed = false;  // the field's closing quote has been read
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
            field += text[i++];
        } else if (quoted) {
            quoted = c != '"';
            closed = !quoted;
            field += quoted ? std::string(1, c) : "";
        } else if (c == ',' || c == '\n') {
            records.back().push_back(std::move(field));
            field.clear();
            closed = false;
            if (c == '\n')
                records.emplace_back();
        } else if (closed || c == '\r' || (c == '"' && !field.empty())) {
            throw std::runtime_error("stray character at byte " + std::to_string(i));
        } else {
            quoted = c == '"';
            field += quoted ? "" : std::string(1, c);
        }
    }
    if (quoted || closed || !field.empty() || !records.back().empty() || records.size() < 2)
        throw std::runtime_error("no header, or the last line does not end");
    records.pop_back();
    CsvTable table{records.front(), {records.begin() + 1, records.end()}};
    for (const auto& row : table.rows)
        if (row.size() != table.header.size())
            throw std::runtime_error("a row of " + std::to_string(row.size()) + " fields");
    return table;
}

// "25:10:00" → seconds after midnight; throws on anything else.
inline int parseTime(const std::string& text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':' || text[3] > '5' || text[6] > '5' ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c == ':' || std::isdigit(c); }))
        throw std::runtime_error("bad time " + text);
    return std::stoi(text.substr(0, 2)) * 3600 + std::stoi(text.substr(3, 2)) * 60 + std::stoi(text.substr(6, 2));
}

}  // namespace velmo::synth::test
