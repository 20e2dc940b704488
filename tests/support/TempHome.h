#pragma once
// A fresh temporary folder that is removed afterwards, and a test fixture that also points
// XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR into it for the length of one test.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmo::test {

class TempDir {
public:
    explicit TempDir(const std::string& prefix = "velmo-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes `text` to `name` (folders made as needed) and returns the file's path.
    std::filesystem::path write(const std::string& name, const std::string& text) const;
    std::string read(const std::string& name) const;

private:
    std::filesystem::path path_;
};

// A whole file's bytes ("" when it cannot be read), and a file written whole (folders made).
std::string readFile(const std::filesystem::path& file);
void writeFile(const std::filesystem::path& file, const std::string& bytes);

// Sets an environment variable for its lifetime and restores the old value after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::optional<std::string>& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> saved_;
};

class TempHome : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    const std::filesystem::path& root() const { return dir_->path(); }
    // The folder of the settings suites.
    std::filesystem::path suiteFolder() const { return root() / "config/velmomac"; }
    TempDir& dir() { return *dir_; }

private:
    std::optional<TempDir> dir_;
    std::vector<std::unique_ptr<ScopedEnv>> env_;
};

}  // namespace velmo::test
