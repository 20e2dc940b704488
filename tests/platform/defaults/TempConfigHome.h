#pragma once
// Gives each test its own XDG_CONFIG_HOME in a fresh temporary folder, removed afterwards.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace velmo::testing_support {

class TempConfigHome : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-defaults-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        saveVariable("XDG_CONFIG_HOME", savedXdg_);
        saveVariable("HOME", savedHome_);
        ::setenv("XDG_CONFIG_HOME", (root_ / "config").c_str(), 1);
    }

    void TearDown() override {
        restoreVariable("XDG_CONFIG_HOME", savedXdg_);
        restoreVariable("HOME", savedHome_);
        std::error_code ignored;
        std::filesystem::remove_all(root_, ignored);
    }

    const std::filesystem::path& root() const { return root_; }
    std::filesystem::path suiteFolder() const { return root_ / "config" / "velmomac"; }

private:
    static void saveVariable(const char* name, std::optional<std::string>& saved) {
        if (const char* value = std::getenv(name)) {
            saved = value;
        }
    }
    static void restoreVariable(const char* name, const std::optional<std::string>& saved) {
        if (saved) {
            ::setenv(name, saved->c_str(), 1);
        } else {
            ::unsetenv(name);
        }
    }

    std::filesystem::path root_;
    std::optional<std::string> savedXdg_;
    std::optional<std::string> savedHome_;
};

}  // namespace velmo::testing_support
