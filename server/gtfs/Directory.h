#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Reads members of a zip archive, from the folder inside it that holds the feed (see
// findFeedFolder): publishers pack their files at the top or some folders down.
class ZipDirectory final : public Directory {
public:
    // Throws when the archive cannot be opened or does not say which folder is the feed.
    explicit ZipDirectory(std::string path, std::string inner = "");
    ~ZipDirectory() override;
    ZipDirectory(const ZipDirectory&) = delete;
    ZipDirectory& operator=(const ZipDirectory&) = delete;
    [[nodiscard]] std::optional<std::string> read(std::string_view name) const override;
    [[nodiscard]] std::string describe() const override { return path_; }

private:
    std::string path_;
    std::string folder_;  // "" or "gtfs/bus/"
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

// The folder holding the feed among `entries` (paths relative to the zip or folder `where`,
// folders ending in '/'), as "" or "a/b/": `inner` when given, else the top when it holds feed
// files (agency.txt, stops.txt, routes.txt, trips.txt, stop_times.txt), else the one folder at
// any depth that does. Throws, naming what it found and how to choose, when `inner` holds no feed
// files, when several folders do, or when the feed is a zip inside the zip.
std::string findFeedFolder(const std::vector<std::string>& entries, std::string_view inner, const std::string& where);

// A zip archive for a regular file, a folder otherwise, read from the folder inside it that holds
// the feed (`inner`, or the one found). Throws when the path does not exist or cannot be opened,
// or when the folder of the feed cannot be told.
std::unique_ptr<Directory> openDirectory(const std::string& path, const std::string& inner = "");

}  // namespace velmo::gtfs
