#include "platform/bundle/Bundle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

using velmo::Bundle;

// Compiled into two programs: one with the full generated dictionary, one built with
// NAME and NO_LOCATION_USAGE (EXPECT_NO_USAGE defined).

TEST(Bundle, MainDictionaryComesFromTheBuild) {
    const Bundle& bundle = Bundle::main();
    EXPECT_EQ(bundle.info("CFBundleExecutable"), EXPECTED_EXECUTABLE);
    EXPECT_EQ(bundle.info("CFBundleShortVersionString"), EXPECTED_VERSION);
    const auto build = bundle.info("CFBundleVersion");
    ASSERT_TRUE(build.has_value());
    ASSERT_FALSE(build->empty());
    EXPECT_TRUE(std::all_of(build->begin(), build->end(), [](unsigned char c) { return std::isdigit(c); })) << *build;
}

TEST(Bundle, LocationUsageDescription) {
    const auto usage = Bundle::main().info("NSLocationUsageDescription");
#ifdef EXPECT_NO_USAGE
    EXPECT_FALSE(usage.has_value());
#else
    ASSERT_TRUE(usage.has_value());
    EXPECT_EQ(*usage, "A pozíciódat arra használjuk, hogy a közeli megállók induló járatait listázzuk.");
#endif
}

TEST(Bundle, MissingKeyIsAbsentAndInjectedDictionaryIsUsedAsGiven) {
    EXPECT_FALSE(Bundle::main().info("NoSuchKey").has_value());
    const Bundle custom({{"CFBundleExecutable", "x"}, {"Empty", ""}});
    EXPECT_EQ(custom.info("CFBundleExecutable"), "x");
    EXPECT_EQ(custom.info("Empty"), "");  // present though empty
    EXPECT_FALSE(custom.info("CFBundleVersion").has_value());
}
