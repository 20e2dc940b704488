#include "tests/support/TempHome.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace velmo::test {

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("cannot make a temporary folder: " + pattern);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempDir::write(const std::string& name, const std::string& text) const {
    const auto file = path_ / name;
    writeFile(file, text);
    return file;
}

std::string TempDir::read(const std::string& name) const { return readFile(path_ / name); }

std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& file, const std::string& bytes) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << bytes;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
    if (const char* old = std::getenv(name))
        saved_ = old;
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnv::~ScopedEnv() {
    if (saved_) {
        ::setenv(name_.c_str(), saved_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

void TempHome::SetUp() {
    dir_.emplace("velmo-home");
    std::filesystem::create_directories(root() / "runtime");
    std::filesystem::permissions(root() / "runtime", std::filesystem::perms::owner_all);
    env_.push_back(std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", (root() / "config").string()));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_DATA_HOME", (root() / "data").string()));
    env_.push_back(std::make_unique<ScopedEnv>("XDG_RUNTIME_DIR", (root() / "runtime").string()));
}

void TempHome::TearDown() {
    env_.clear();
    dir_.reset();
}

}  // namespace velmo::test
