#pragma once
// A test in a private world whose local base is a loopback departures server that the client
// trusts through its own certificate ("useDevelopmentServer" 1). One certificate per program.

#include "core/settings/AppSettings.h"
#include "tests/core/service/LoopbackServer.h"
#include "tests/core/service/ServiceFixture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

namespace velmo::test {

class LoopbackServiceTest : public PrivateFolders {
protected:
    static void SetUpTestSuite() {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-tls-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        certificates_ = new std::filesystem::path(pattern);
        ASSERT_TRUE(makeCertificate(*certificates_));
    }
    static void TearDownTestSuite() {
        std::error_code ignored;
        std::filesystem::remove_all(*certificates_, ignored);
        delete certificates_;
        certificates_ = nullptr;
    }

    void SetUp() override {
        PrivateFolders::SetUp();
        server = std::make_unique<LoopbackServer>(*certificates_);
        ASSERT_TRUE(server->isValid());
        std::filesystem::create_directories(folder_ / "config" / "velmomac");
        std::ofstream(folder_ / "config" / "velmomac" / "servers.conf")
            << "# test servers\nlocal = \"" << server->base() << "\"\nlocal_ca = " << certificateFile().string() << "\n"
            << moreServers();
        AppSettings().set("useDevelopmentServer", int64_t{1});
    }

    void TearDown() override {
        server.reset();
        PrivateFolders::TearDown();
    }

    // Further servers.conf lines a test wants.
    virtual std::string moreServers() const { return {}; }

    static std::filesystem::path certificateFile() { return *certificates_ / "cert.pem"; }

    std::unique_ptr<LoopbackServer> server;

private:
    static inline std::filesystem::path* certificates_ = nullptr;
};

}  // namespace velmo::test
