#include "server/gtfs/Directory.h"

#include <zip.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velmo::gtfs {

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

ZipDirectory::ZipDirectory(std::string path) : path_(std::move(path)) {
    int error = 0;
    archive_ = zip_open(path_.c_str(), ZIP_RDONLY, &error);
    if (archive_ == nullptr) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, error);
        std::string message = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        throw std::runtime_error("cannot open zip archive " + path_ + ": " + message);
    }
}

ZipDirectory::~ZipDirectory() {
    if (archive_ != nullptr) {
        zip_discard(archive_);
    }
}

std::optional<std::string> ZipDirectory::read(std::string_view name) const {
    zip_int64_t index = zip_name_locate(archive_, std::string(name).c_str(), 0);
    if (index < 0) {
        // One level of sub-folder: "anything/<name>".
        const zip_int64_t count = zip_get_num_entries(archive_, 0);
        for (zip_int64_t i = 0; i < count; ++i) {
            std::string_view entry = zip_get_name(archive_, static_cast<zip_uint64_t>(i), 0);
            const auto slash = entry.find('/');
            if (slash != std::string_view::npos && entry.substr(slash + 1) == name) {
                index = i;
                break;
            }
        }
    }
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

std::unique_ptr<Directory> openDirectory(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return std::make_unique<FolderDirectory>(path);
    }
    if (!std::filesystem::exists(path, ec)) {
        throw std::runtime_error("feed not found: " + path);
    }
    return std::make_unique<ZipDirectory>(path);
}

}  // namespace velmo::gtfs
