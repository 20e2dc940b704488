#pragma once
// Each test gets an empty private settings folder; nothing touches the user's own.

#include "core/settings/AppSettings.h"
#include "core/settings/PlistJson.h"
#include "platform/defaults/UserDefaults.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <string>

namespace velmo {
// Failure messages show values as JSON text.
inline void PrintTo(const PlistValue& value, std::ostream* os) {
    *os << PlistValue::kindName(value.kind()) << " " << plistToJson(value).dump();
}
}  // namespace velmo

namespace velmo::test {

class SettingsFixture : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-settings-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
    }

    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    // Direct access to the shared suite, bypassing AppSettings.
    static UserDefaults suite() { return UserDefaults(AppSettings::kAppGroup); }

    std::string folder_;
};

}  // namespace velmo::test
