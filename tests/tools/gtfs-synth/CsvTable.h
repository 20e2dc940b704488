#pragma once
// A whole CSV file read back strictly, so that a fault of the writer fails the tests that
// read a feed: RFC 4180 quoting, line feeds only, a final line feed, every row as wide as
// the header. Anything else throws std::runtime_error.

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

    std::size_t column(std::string_view name) const {
        const auto it = std::find(header.begin(), header.end(), name);
        if (it == header.end())
            throw std::out_of_range("no column " + std::string(name));
        return static_cast<std::size_t>(it - header.begin());
    }
    const std::string& at(std::size_t row, std::string_view name) const { return rows.at(row)[column(name)]; }
};

inline CsvTable parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records(1);
    std::string field;
    bool quoted = false;
    bool closed = false;  // the field's closing quote has been read
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c != '"') {
                field += c;
            } else if (i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else {
                quoted = false;
                closed = true;
            }
        } else if (c == ',' || c == '\n') {
            records.back().push_back(std::move(field));
            field.clear();
            closed = false;
            if (c == '\n')
                records.emplace_back();
        } else if (closed || c == '\r' || (c == '"' && !field.empty())) {
            throw std::runtime_error("stray character at byte " + std::to_string(i));
        } else if (c == '"') {
            quoted = true;
        } else {
            field += c;
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
    const bool ok = text.size() == 8 && text[2] == ':' && text[5] == ':' && text[3] < '6' && text[6] < '6' &&
                    std::all_of(text.begin(), text.end(), [](char c) { return c == ':' || std::isdigit(c); });
    if (!ok)
        throw std::runtime_error("bad time " + text);
    return std::stoi(text.substr(0, 2)) * 3600 + std::stoi(text.substr(3, 2)) * 60 + std::stoi(text.substr(6, 2));
}

}  // namespace velmo::synth::test
