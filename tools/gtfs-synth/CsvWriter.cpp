#include "tools/gtfs-synth/CsvWriter.h"

#include <charconv>
#include <stdexcept>

namespace velmo::synth {

namespace {
constexpr std::size_t kFlushSize = 1 << 20;
}

CsvWriter::CsvWriter(FeedSink& sink, std::string_view fileName, std::initializer_list<std::string_view> header)
    : sink_(sink) {
    buffer_.reserve(kFlushSize + 4096);
    sink_.beginFile(fileName);
    for (std::string_view column : header)
        text(column);
    endRow();
    rows_ = 0;
}

CsvWriter::~CsvWriter() {
    if (!closed_) {
        try {
            close();
        } catch (...) {
            // A destructor must not throw; callers that care call close().
        }
    }
}

void CsvWriter::separator() {
    if (!firstField_)
        buffer_.push_back(',');
    firstField_ = false;
}

CsvWriter& CsvWriter::text(std::string_view value) {
    separator();
    if (value.find_first_of(",\"\r\n") == std::string_view::npos) {
        buffer_.append(value);
        return *this;
    }
    buffer_.push_back('"');
    for (char c : value) {
        if (c == '"')
            buffer_.push_back('"');
        buffer_.push_back(c);
    }
    buffer_.push_back('"');
    return *this;
}

CsvWriter& CsvWriter::number(std::int64_t value) {
    separator();
    char digits[24];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    buffer_.append(digits, end);
    return *this;
}

CsvWriter& CsvWriter::degrees(double value) {
    separator();
    char digits[48];
    auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value, std::chars_format::fixed, 6);
    if (ec != std::errc())
        throw std::logic_error("coordinate out of range");
    buffer_.append(digits, end);
    return *this;
}

CsvWriter& CsvWriter::time(int secondsAfterMidnight) {
    if (secondsAfterMidnight < 0 || secondsAfterMidnight >= 100 * 3600)
        throw std::logic_error("GTFS time out of range");
    separator();
    const int hours = secondsAfterMidnight / 3600;
    const int minutes = secondsAfterMidnight / 60 % 60;
    const int seconds = secondsAfterMidnight % 60;
    const char text[8] = {static_cast<char>('0' + hours / 10),   static_cast<char>('0' + hours % 10),   ':',
                          static_cast<char>('0' + minutes / 10), static_cast<char>('0' + minutes % 10), ':',
                          static_cast<char>('0' + seconds / 10), static_cast<char>('0' + seconds % 10)};
    buffer_.append(text, sizeof text);
    return *this;
}

CsvWriter& CsvWriter::empty() {
    separator();
    return *this;
}

void CsvWriter::endRow() {
    buffer_.push_back('\n');
    firstField_ = true;
    ++rows_;
    flushIfFull();
}

void CsvWriter::flushIfFull() {
    if (buffer_.size() >= kFlushSize) {
        sink_.write(buffer_);
        buffer_.clear();
    }
}

void CsvWriter::close() {
    if (closed_)
        return;
    closed_ = true;
    if (!buffer_.empty())
        sink_.write(buffer_);
    buffer_.clear();
    sink_.endFile();
}

}  // namespace velmo::synth
