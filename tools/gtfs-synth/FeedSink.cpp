#include "tools/gtfs-synth/FeedSink.h"

#include <zip.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace velmo::synth {

namespace fs = std::filesystem;

DirectorySink::DirectorySink(fs::path folder) : folder_(std::move(folder)) {
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec)
        throw std::runtime_error("cannot create folder " + folder_.string() + ": " + ec.message());
}

DirectorySink::~DirectorySink() {
    if (file_)
        std::fclose(file_);
}

void DirectorySink::beginFile(std::string_view name) {
    if (file_)
        throw std::logic_error("DirectorySink: previous file still open");
    current_ = folder_ / std::string(name);
    file_ = std::fopen(current_.c_str(), "wb");
    if (!file_)
        throw std::runtime_error("cannot write " + current_.string() + ": " + std::strerror(errno));
    names_.emplace_back(name);
}

void DirectorySink::write(std::string_view bytes) {
    if (!file_)
        throw std::logic_error("DirectorySink: no file open");
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size())
        throw std::runtime_error("cannot write " + current_.string() + ": " + std::strerror(errno));
}

void DirectorySink::endFile() {
    if (!file_)
        throw std::logic_error("DirectorySink: no file open");
    // A full disk often shows only when the buffer is flushed on close.
    const bool failed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed)
        throw std::runtime_error("cannot write " + current_.string() + ": " + std::strerror(errno));
}

void MemorySink::beginFile(std::string_view name) {
    current_ = &files[std::string(name)];
    current_->clear();
}

void MemorySink::write(std::string_view bytes) {
    if (!current_)
        throw std::logic_error("MemorySink: no file open");
    current_->append(bytes);
}

void MemorySink::endFile() { current_ = nullptr; }

namespace {

struct ZipDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

std::string zipMessage(zip_t* archive) { return zip_strerror(archive); }

}  // namespace

void writeZip(const fs::path& zipFile, const fs::path& folder, const std::vector<std::string>& names,
              std::chrono::year_month_day stamp) {
    int errorCode = 0;
    std::unique_ptr<zip_t, ZipDiscard> archive(zip_open(zipFile.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &errorCode));
    if (!archive) {
        zip_error_t error;
        zip_error_init_with_code(&error, errorCode);
        std::string message = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw std::runtime_error("cannot create " + zipFile.string() + ": " + message);
    }

    // DOS date and time fields, given directly so the local time zone plays no part.
    const int year = static_cast<int>(stamp.year());
    const auto dosDate = static_cast<zip_uint16_t>(((year - 1980) << 9) | (static_cast<unsigned>(stamp.month()) << 5) |
                                                   static_cast<unsigned>(stamp.day()));
    const zip_uint16_t dosTime = 0;

    for (const std::string& name : names) {
        const fs::path source = folder / name;
        zip_source_t* data = zip_source_file(archive.get(), source.c_str(), 0, -1);
        if (!data)
            throw std::runtime_error("cannot read " + source.string() + ": " + zipMessage(archive.get()));
        const zip_int64_t index = zip_file_add(archive.get(), name.c_str(), data, ZIP_FL_ENC_UTF_8);
        if (index < 0) {
            zip_source_free(data);
            throw std::runtime_error("cannot add " + name + " to " + zipFile.string() + ": " +
                                     zipMessage(archive.get()));
        }
        const auto entry = static_cast<zip_uint64_t>(index);
        // Level 6 as zlib's own default: libzip would pick the slowest level,
        // which triples the time for a big feed and saves little.
        if (zip_set_file_compression(archive.get(), entry, ZIP_CM_DEFLATE, 6) != 0 ||
            zip_file_set_dostime(archive.get(), entry, dosTime, dosDate, 0) != 0)
            throw std::runtime_error("cannot add " + name + " to " + zipFile.string() + ": " +
                                     zipMessage(archive.get()));
    }

    zip_t* raw = archive.release();
    if (zip_close(raw) != 0) {
        std::string message = zipMessage(raw);
        zip_discard(raw);
        throw std::runtime_error("cannot write " + zipFile.string() + ": " + message);
    }
}

}  // namespace velmo::synth
