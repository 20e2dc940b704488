#include "platform/bundle/Bundle.h"

#include <gtest/gtest.h>

using velmo::Bundle;

// A program built without a generated dictionary still names itself and its version, but offers no location usage text.
TEST(BundleFallback, NamesTheExecutableWithoutUsageDescription) {
    const Bundle& bundle = Bundle::main();
    EXPECT_EQ(bundle.info("CFBundleExecutable"), "velmo_bundle_fallback_test");
    EXPECT_EQ(bundle.info("CFBundleShortVersionString"), EXPECTED_VERSION);
    EXPECT_EQ(bundle.info("CFBundleVersion"), "0");
    EXPECT_FALSE(bundle.info("NSLocationUsageDescription").has_value());
}
