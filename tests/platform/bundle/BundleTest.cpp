#include "platform/bundle/Bundle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using velmo::Bundle;

// Compiled into three programs: one with the full generated dictionary, one built with NAME and NO_LOCATION_USAGE,
// and one without a generated dictionary, which still names itself and its version (build "0").
TEST(Bundle, MainDictionaryComesFromTheBuild) {
    const Bundle& bundle = Bundle::main();
    EXPECT_EQ(bundle.info("CFBundleExecutable"), EXPECTED_EXECUTABLE);
    EXPECT_EQ(bundle.info("CFBundleShortVersionString"), EXPECTED_VERSION);
    const std::string build = bundle.info("CFBundleVersion").value_or("");
    EXPECT_TRUE(!build.empty() && std::all_of(build.begin(), build.end(), ::isdigit)) << build;
#ifdef EXPECTED_BUILD
    EXPECT_EQ(build, EXPECTED_BUILD);
#endif
    const auto usage = bundle.info("NSLocationUsageDescription");
#ifdef EXPECT_NO_USAGE
    EXPECT_FALSE(usage.has_value());
#else
    EXPECT_FALSE(usage.value_or("").empty());
#endif
    EXPECT_FALSE(bundle.info("NoSuchKey").has_value());
    const Bundle custom({{"CFBundleExecutable", "x"}, {"Empty", ""}});
    EXPECT_EQ(custom.info("Empty"), "");  // present though empty
    EXPECT_FALSE(custom.info("CFBundleVersion").has_value());
}
