#include "server/app/FeedDownload.h"

#include "platform/paths/UserFolders.h"
#include "platform/text/SafeText.h"

#include <boost/asio/io_context.hpp>
#include <fmt/format.h>
#include <spdlog/spdlog.h>

#include <cctype>
#include <fstream>
#include <memory>

namespace velmo::tarvod {

namespace {

namespace fs = std::filesystem;
using realtime::FetchOutcome;

// A city or feed key as part of a file name: letters, digits, - and _ stay, the rest become _.
std::string fileSafe(std::string_view key) {
    std::string out(key);
    for (char& ch : out) {
        const auto c = static_cast<unsigned char>(ch);
        ch = std::isalnum(c) != 0 || ch == '-' || ch == '_' ? ch : '_';
    }
    return out;
}

// The URL as a stable digest (FNV-1a), so that the validators file tells whose copy it holds
// without holding a key that may be in the URL.
std::string digest(std::string_view text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char ch : text) {
        h = (h ^ static_cast<unsigned char>(ch)) * 1099511628211ULL;
    }
    return fmt::format("{:016x}", h);
}

// A header value on one line of the validators file.
std::string oneLine(std::string text) {
    std::erase_if(text, [](char ch) { return ch == '\n' || ch == '\r'; });
    return text;
}

}  // namespace

bool isUrl(std::string_view path) { return path.starts_with("http://") || path.starts_with("https://"); }

fs::path defaultFeedFolder() {
    const std::string home = dataHome();
    return home.empty() ? fs::path() : fs::path(home) / "tarvod" / "feeds";
}

FeedDownload::FeedDownload(const std::string& city, const std::string& feed, std::string url, FeedLimits limits)
    : what_("city " + city + ", feed " + feed),
      url_(std::move(url)),
      limits_(std::move(limits)),
      copy_(limits_.folder / (fileSafe(city) + "--" + fileSafe(feed) + ".zip")),
      validators_(fs::path(copy_).concat(".validators")),
      temp_(fs::path(copy_).replace_extension(".new.zip")) {}

bool FeedDownload::haveCopy() const {
    std::error_code ec;
    return fs::is_regular_file(copy_, ec);
}

void FeedDownload::start(boost::asio::io_context& io, std::function<void(Result)> done) const {
    realtime::FetchOptions options;
    options.maxBytes = limits_.maxBytes;
    options.toFile = temp_.string();
    if (haveCopy()) {
        std::ifstream in(validators_);
        std::string name;
        std::string value;
        bool sameUrl = false;
        while (in >> name && std::getline(in >> std::ws, value)) {
            if (name == "url") {
                sameUrl = value == digest(url_);
            } else if (name == "etag") {
                options.ifNoneMatch = value;
            } else if (name == "last-modified") {
                options.ifModifiedSince = value;
            }
        }
        if (!sameUrl) {
            options.ifNoneMatch.clear();
            options.ifModifiedSince.clear();
        }
    }
    std::error_code ec;
    fs::create_directories(limits_.folder, ec);
    spdlog::info("{}: downloading {}{}", what_, escapeControls(shown()),
                 options.ifNoneMatch.empty() && options.ifModifiedSince.empty() ? "" : " if changed");
    const auto began = std::chrono::steady_clock::now();
    realtime::fetchAsync(
        io, url_, options, limits_.timeout, [this, began, done = std::move(done)](realtime::Fetched f) {
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
            Result r{f.outcome, std::move(f.error), {}, std::move(f.etag), std::move(f.validator)};
            std::error_code ec2;
            if (r.outcome == FetchOutcome::Fresh) {
                r.file = temp_;
                spdlog::info("{}: downloaded {} bytes in {:.1f} s", what_, fs::file_size(temp_, ec2), took.count());
            } else {
                fs::remove(temp_, ec2);
            }
            if (r.outcome == FetchOutcome::NotModified) {
                spdlog::info("{}: unchanged at {} ({:.1f} s)", what_, escapeControls(shown()), took.count());
            } else if (r.outcome == FetchOutcome::Failed) {
                spdlog::error("{}: download from {} failed after {:.1f} s: {}", what_, escapeControls(shown()),
                              took.count(), escapeControls(r.error));
            }
            done(std::move(r));
        });
}

FeedDownload::Result FeedDownload::download() const {
    boost::asio::io_context io;
    Result out;
    start(io, [&out](Result r) { out = std::move(r); });
    io.run();
    return out;
}

std::string FeedDownload::keep(const Result& result) const {
    // The validators go in after the copy: a crash between the two renames leaves old validators
    // beside a new copy, which costs one unconditional download and never a wrong "unchanged".
    const fs::path validators = fs::path(validators_).concat(".new");
    {
        std::ofstream out(validators, std::ios::trunc);
        out << "url " << digest(url_) << "\n";
        if (!result.etag.empty()) {
            out << "etag " << oneLine(result.etag) << "\n";
        }
        if (!result.lastModified.empty()) {
            out << "last-modified " << oneLine(result.lastModified) << "\n";
        }
        if (!out.flush()) {
            return "cannot write " + validators.string();
        }
    }
    std::error_code ec;
    fs::rename(result.file, copy_, ec);
    if (ec) {
        return "cannot keep the download as " + copy_.string() + ": " + ec.message();
    }
    fs::rename(validators, validators_, ec);
    return ec ? "cannot write " + validators_.string() + ": " + ec.message() : std::string();
}

void FeedDownload::dropPartial() const {
    std::error_code ec;
    fs::remove(temp_, ec);
}

void FeedDownload::discard(const Result& result) {
    std::error_code ec;
    if (!result.file.empty()) {
        fs::remove(result.file, ec);
    }
}

}  // namespace velmo::tarvod
