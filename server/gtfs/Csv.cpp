#include "server/gtfs/Csv.h"

namespace velmo::gtfs {

namespace {

std::string trimmed(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = s.find_last_not_of(" \t");
    return std::string(s.substr(first, last - first + 1));
}

}  // namespace

CsvReader::CsvReader(std::string_view data) : data_(data) {
    if (data_.substr(0, 3) == "\xEF\xBB\xBF") {
        data_.remove_prefix(3);
    }
    readRecord(header_);
}

int CsvReader::column(std::string_view name) const {
    for (std::size_t i = 0; i < header_.size(); ++i) {
        if (header_[i] == name) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool CsvReader::next() {
    while (readRecord(row_)) {
        const bool blank = row_.size() == 1 && row_[0].empty();
        if (!blank) {
            return true;
        }
    }
    return false;
}

std::string_view CsvReader::field(int index) const {
    if (index < 0 || static_cast<std::size_t>(index) >= row_.size()) {
        return {};
    }
    return row_[static_cast<std::size_t>(index)];
}

bool CsvReader::readRecord(std::vector<std::string>& out) {
    out.clear();
    if (pos_ >= data_.size()) {
        return false;
    }
    rowLine_ = line_;
    std::string fieldText;
    bool quoted = false;    // the current field started with a quote
    bool inQuotes = false;  // inside the quoted part
    std::size_t rawStart = pos_;
    auto finishField = [&](std::size_t end) {
        if (quoted) {
            out.push_back(std::move(fieldText));
        } else {
            out.push_back(trimmed(data_.substr(rawStart, end - rawStart)));
        }
        fieldText.clear();
        quoted = false;
    };
    while (pos_ < data_.size()) {
        const char c = data_[pos_];
        if (inQuotes) {
            if (c == '"') {
                if (pos_ + 1 < data_.size() && data_[pos_ + 1] == '"') {
                    fieldText.push_back('"');
                    pos_ += 2;
                    continue;
                }
                inQuotes = false;
                ++pos_;
                continue;
            }
            if (c == '\n') {
                ++line_;
            }
            fieldText.push_back(c);
            ++pos_;
            continue;
        }
        if (c == '"' && !quoted &&
            data_.substr(rawStart, pos_ - rawStart).find_first_not_of(" \t") == std::string_view::npos) {
            quoted = true;
            inQuotes = true;
            ++pos_;
            continue;
        }
        if (c == ',') {
            finishField(pos_);
            ++pos_;
            rawStart = pos_;
            continue;
        }
        if (c == '\r' || c == '\n') {
            finishField(pos_);
            if (c == '\r' && pos_ + 1 < data_.size() && data_[pos_ + 1] == '\n') {
                ++pos_;
            }
            ++pos_;
            ++line_;
            return true;
        }
        if (quoted) {
            // Text after a closing quote ("ab"c): keep it rather than lose it.
            fieldText.push_back(c);
        }
        ++pos_;
    }
    finishField(pos_);
    return true;
}

}  // namespace velmo::gtfs
