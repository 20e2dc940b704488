#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct zip;

namespace velmo::gtfs {

// Where a feed's files come from: a zip archive, a folder, or memory (tests).
class Directory {
public:
    virtual ~Directory() = default;
    // The whole content of the named file, or nothing when the file is absent.
    // Throws std::runtime_error when the file exists but cannot be read.
    [[nodiscard]] virtual std::optional<std::string> read(std::string_view name) const = 0;
    // A short description for messages ("feed.zip").
    [[nodiscard]] virtual std::string describe() const = 0;
};

class FolderDirectory final : public Directory {
public:
    explicit FolderDirectory(std::string path);
    [[nodiscard]] std::optional<std::string> read(std::string_view name) const override;
    [[nodiscard]] std::string describe() const override { return path_; }

private:
    std::string path_;
};

// Reads members of a zip archive. Files kept in one sub-folder of the archive
// ("feed/stops.txt") are found too, as some publishers pack them that way.
class ZipDirectory final : public Directory {
public:
    explicit ZipDirectory(std::string path);  // throws when the archive cannot be opened
    ~ZipDirectory() override;
    ZipDirectory(const ZipDirectory&) = delete;
    ZipDirectory& operator=(const ZipDirectory&) = delete;
    [[nodiscard]] std::optional<std::string> read(std::string_view name) const override;
    [[nodiscard]] std::string describe() const override { return path_; }

private:
    std::string path_;
    ::zip* archive_ = nullptr;
};

class MemoryDirectory final : public Directory {
public:
    MemoryDirectory() = default;
    explicit MemoryDirectory(std::map<std::string, std::string, std::less<>> files) : files_(std::move(files)) {}
    void put(std::string name, std::string content) { files_[std::move(name)] = std::move(content); }
    [[nodiscard]] std::optional<std::string> read(std::string_view name) const override;
    [[nodiscard]] std::string describe() const override { return "memory"; }

private:
    std::map<std::string, std::string, std::less<>> files_;
};

// A zip archive for a regular file, a folder otherwise. Throws when the path
// does not exist or cannot be opened.
std::unique_ptr<Directory> openDirectory(const std::string& path);

}  // namespace velmo::gtfs
