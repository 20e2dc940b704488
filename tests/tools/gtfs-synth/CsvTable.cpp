#include "CsvTable.h"

#include <stdexcept>

namespace velmo::synth::test {

std::size_t CsvTable::column(std::string_view name) const {
    for (std::size_t i = 0; i < header.size(); ++i)
        if (header[i] == name)
            return i;
    throw std::out_of_range("no column " + std::string(name));
}

CsvTable parseCsv(std::string_view text) {
    std::vector<std::vector<std::string>> records;
    std::vector<std::string> record;
    std::string field;
    bool quoted = false;     // inside a quoted field
    bool wasQuoted = false;  // the current field was quoted and has closed
    bool fieldStarted = false;
    std::size_t line = 1;
    auto fail = [&](const std::string& what) {
        throw std::runtime_error("line " + std::to_string(line) + ": " + what);
    };
    auto endField = [&] {
        record.push_back(std::move(field));
        field.clear();
        wasQuoted = false;
        fieldStarted = false;
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    field.push_back('"');
                    ++i;
                } else {
                    quoted = false;
                    wasQuoted = true;
                }
            } else {
                if (c == '\n')
                    ++line;
                field.push_back(c);
            }
            continue;
        }
        if (c == ',') {
            endField();
        } else if (c == '\n') {
            endField();
            records.push_back(std::move(record));
            record.clear();
            ++line;
        } else if (c == '"') {
            if (fieldStarted || wasQuoted)
                fail("quote inside an unquoted field");
            quoted = true;
            fieldStarted = true;
        } else {
            if (wasQuoted)
                fail("text after a closing quote");
            field.push_back(c);
            fieldStarted = true;
        }
    }
    if (quoted)
        fail("unterminated quoted field");
    if (fieldStarted || wasQuoted || !record.empty()) {
        endField();
        records.push_back(std::move(record));
    }
    if (records.empty())
        throw std::runtime_error("no header");

    CsvTable table;
    table.header = std::move(records.front());
    for (std::size_t r = 1; r < records.size(); ++r) {
        if (records[r].size() != table.header.size())
            throw std::runtime_error("row " + std::to_string(r + 1) + " has " + std::to_string(records[r].size()) +
                                     " fields, the header " + std::to_string(table.header.size()));
        table.rows.push_back(std::move(records[r]));
    }
    return table;
}

int parseTime(std::string_view text) {
    if (text.size() != 8 || text[2] != ':' || text[5] != ':')
        throw std::runtime_error("bad time " + std::string(text));
    auto two = [&](std::size_t at) {
        if (text[at] < '0' || text[at] > '9' || text[at + 1] < '0' || text[at + 1] > '9')
            throw std::runtime_error("bad time " + std::string(text));
        return (text[at] - '0') * 10 + (text[at + 1] - '0');
    };
    const int minutes = two(3);
    const int seconds = two(6);
    if (minutes > 59 || seconds > 59)
        throw std::runtime_error("bad time " + std::string(text));
    return two(0) * 3600 + minutes * 60 + seconds;
}

}  // namespace velmo::synth::test
