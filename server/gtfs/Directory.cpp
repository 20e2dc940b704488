#include "server/gtfs/Directory.h"

#include <zip.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace velmo::gtfs {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kFeedFiles[] = {"agency.txt", "stops.txt", "routes.txt", "trips.txt", "stop_times.txt"};

// "a/b" as "a/b/", the top as "".
std::string asFolder(std::string_view inner) {
    while (inner.starts_with("./") || inner.starts_with('/')) {
        inner.remove_prefix(inner.starts_with('/') ? 1 : 2);
    }
    while (inner.ends_with('/')) {
        inner.remove_suffix(1);
    }
    return inner.empty() || inner == "." ? std::string() : std::string(inner) + "/";
}

std::string shown(const std::string& folder) { return folder.empty() ? "(top)" : folder.substr(0, folder.size() - 1); }

std::string listed(const std::set<std::string>& folders) {
    std::string out;
    for (const auto& f : folders) {
        out += (out.empty() ? "" : ", ") + shown(f);
    }
    return out;
}

}  // namespace

std::string findFeedFolder(const std::vector<std::string>& entries, std::string_view inner, const std::string& where) {
    std::set<std::string> feeds;
    std::set<std::string> zips;
    for (const auto& entry : entries) {
        if (entry.starts_with("__MACOSX/")) {
            continue;  // resource forks that macOS adds to archives
        }
        const auto slash = entry.rfind('/');
        const std::string_view name = slash == std::string::npos ? entry : std::string_view(entry).substr(slash + 1);
        if (std::find(std::begin(kFeedFiles), std::end(kFeedFiles), name) != std::end(kFeedFiles)) {
            feeds.insert(slash == std::string::npos ? std::string() : entry.substr(0, slash + 1));
        } else if (name.size() > 4 && name.substr(name.size() - 4) == ".zip") {
            zips.insert(entry);
        }
    }
    if (!inner.empty()) {
        const std::string folder = asFolder(inner);
        if (!feeds.contains(folder)) {
            throw std::runtime_error(where + " holds no feed files in " + shown(folder) +
                                     (feeds.empty() ? "" : " (feeds found in: " + listed(feeds) + ")"));
        }
        return folder;
    }
    if (feeds.empty() || feeds.contains("")) {
        if (feeds.empty() && !zips.empty()) {
            std::string names;
            for (const auto& z : zips) {
                names += (names.empty() ? "" : ", ") + z;
            }
            throw std::runtime_error(where + " holds no feed files, only the zip archive(s) " + names +
                                     " inside it: unpack the one you want and give its path as the feed");
        }
        return {};  // the top; what is missing there is the loader's to say
    }
    if (feeds.size() > 1) {
        throw std::runtime_error(where + " holds several feeds, in " + listed(feeds) + ": choose one with inner = \"" +
                                 shown(*feeds.begin()) +
                                 "\" (the folder inside it) in the feed's entry of the configuration");
    }
    return *feeds.begin();
}

FolderDirectory::FolderDirectory(std::string path) : path_(std::move(path)) {}

std::optional<std::string> FolderDirectory::read(std::string_view name) const {
    const auto file = std::filesystem::path(path_) / std::string(name);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + file.string());
    }
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad()) {
        throw std::runtime_error("cannot read " + file.string());
    }
    return std::move(out).str();
}

ZipDirectory::ZipDirectory(std::string path, std::string inner) : path_(std::move(path)) {
    int error = 0;
    archive_ = zip_open(path_.c_str(), ZIP_RDONLY, &error);
    if (archive_ == nullptr) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        std::string message = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        throw std::runtime_error("cannot open zip archive " + path_ + ": " + message);
    }
    std::vector<std::string> entries;
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        if (const char* name = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0)) {
            entries.emplace_back(name);
        }
    }
    try {
        folder_ = findFeedFolder(entries, inner, path_);
    } catch (...) {
        zip_discard(archive_);
        throw;
    }
}

ZipDirectory::~ZipDirectory() {
    if (archive_ != nullptr) {
        zip_discard(archive_);
    }
}

std::optional<std::string> ZipDirectory::read(std::string_view name) const {
    const zip_int64_t index = zip_name_locate(archive_, (folder_ + std::string(name)).c_str(), 0);
    if (index < 0) {
        return std::nullopt;
    }
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(archive_, static_cast<zip_uint64_t>(index), 0, &st) != 0 || (st.valid & ZIP_STAT_SIZE) == 0) {
        throw std::runtime_error("cannot read " + std::string(name) + " in " + path_);
    }
    zip_file_t* file = zip_fopen_index(archive_, static_cast<zip_uint64_t>(index), 0);
    if (file == nullptr) {
        throw std::runtime_error("cannot open " + std::string(name) + " in " + path_ + ": " + zip_strerror(archive_));
    }
    std::string content(static_cast<std::size_t>(st.size), '\0');
    std::size_t done = 0;
    while (done < content.size()) {
        const zip_int64_t n = zip_fread(file, content.data() + done, content.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    const bool complete = done == content.size();
    zip_fclose(file);
    if (!complete) {
        throw std::runtime_error("cannot read " + std::string(name) + " in " + path_ + ": archive member is damaged");
    }
    return content;
}

std::optional<std::string> MemoryDirectory::read(std::string_view name) const {
    const auto it = files_.find(name);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

std::unique_ptr<Directory> openDirectory(const std::string& path, const std::string& inner) {
    std::error_code ec;
    if (fs::is_directory(path, ec)) {
        // The folder's own files first: a feed at the top needs no walk through what lies below.
        std::vector<std::string> entries;
        for (const auto& name : kFeedFiles) {
            if (inner.empty() && fs::is_regular_file(fs::path(path) / name, ec)) {
                entries.emplace_back(name);
            }
        }
        if (entries.empty()) {
            for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
                 !ec && it != end; it.increment(ec)) {
                if (it->is_regular_file(ec)) {
                    entries.push_back(fs::relative(it->path(), path, ec).generic_string());
                }
            }
        }
        const std::string folder = findFeedFolder(entries, inner, path);
        return std::make_unique<FolderDirectory>(folder.empty() ? path : (fs::path(path) / folder).string());
    }
    if (!fs::exists(path, ec)) {
        throw std::runtime_error("feed not found: " + path);
    }
    return std::make_unique<ZipDirectory>(path, inner);
}

}  // namespace velmo::gtfs
