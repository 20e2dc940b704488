#pragma once

#include "tools/gtfs-synth/FeedSink.h"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace velmo::synth {

// Writes one CSV file into a sink: comma separated, LF line ends, fields quoted
// only when they hold a comma, a quote or a line break (quotes doubled inside).
// Buffers its output and hands it to the sink in large pieces.
class CsvWriter {
public:
    CsvWriter(FeedSink& sink, std::string_view fileName, std::initializer_list<std::string_view> header);
    ~CsvWriter();
    CsvWriter(const CsvWriter&) = delete;
    CsvWriter& operator=(const CsvWriter&) = delete;

    CsvWriter& text(std::string_view value);
    CsvWriter& number(std::int64_t value);
    // A coordinate with six decimals (about 0.1 m), independent of the C locale.
    CsvWriter& degrees(double value);
    // A GTFS time, HH:MM:SS, where hours may pass 24 for trips after midnight.
    CsvWriter& time(int secondsAfterMidnight);
    CsvWriter& empty();
    void endRow();

    // Flushes the rest and ends the file; the destructor does it when not called.
    void close();

    std::int64_t rows() const { return rows_; }

private:
    void separator();
    void flushIfFull();

    FeedSink& sink_;
    std::string buffer_;
    bool firstField_ = true;
    bool closed_ = false;
    std::int64_t rows_ = 0;
};

}  // namespace velmo::synth
