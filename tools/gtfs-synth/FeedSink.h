#pragma once

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::synth {

// Where a generated feed goes: one file at a time, written as a stream of bytes.
class FeedSink {
public:
    virtual ~FeedSink() = default;
    virtual void beginFile(std::string_view name) = 0;
    virtual void write(std::string_view bytes) = 0;
    virtual void endFile() = 0;
};

// Writes each file into a folder, creating the folder when needed.
// Throws std::runtime_error naming the file when the disk refuses.
class DirectorySink final : public FeedSink {
public:
    explicit DirectorySink(std::filesystem::path folder);
    ~DirectorySink() override;
    DirectorySink(const DirectorySink&) = delete;
    DirectorySink& operator=(const DirectorySink&) = delete;

    void beginFile(std::string_view name) override;
    void write(std::string_view bytes) override;
    void endFile() override;

    // The files written so far, in the order they were begun.
    const std::vector<std::string>& fileNames() const { return names_; }

private:
    std::filesystem::path folder_;
    std::filesystem::path current_;
    std::FILE* file_ = nullptr;
    std::vector<std::string> names_;
};

// Keeps every file in memory; for tests and small feeds.
class MemorySink final : public FeedSink {
public:
    void beginFile(std::string_view name) override;
    void write(std::string_view bytes) override;
    void endFile() override;

    std::map<std::string, std::string> files;

private:
    std::string* current_ = nullptr;
};

// Packs the named files of a folder into a zip archive, in the given order and
// with a fixed modification date, so equal folders give byte-identical archives.
// The archive replaces `zipFile` only once it is complete.
void writeZip(const std::filesystem::path& zipFile, const std::filesystem::path& folder,
              const std::vector<std::string>& names, std::chrono::year_month_day stamp);

}  // namespace velmo::synth
