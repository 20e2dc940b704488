#include "core/service/ServerConfig.h"

#include "tests/support/TempHome.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace velmo;

namespace {

const ServerBases kStart{"https://api.velmomac.example/v2/", "https://dev.velmomac.example/v2/",
                         "https://localhost:8443/v2/", "/data/tarvod/tls/cert.pem"};

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

TEST(ServerConfig, ParsesKeysQuotesAndComments) {
    const ServerBases& s = kStart;
    // name, text, bases, lines of error messages
    const std::vector<std::tuple<const char*, const char*, ServerBases, int>> cases{
        {"empty", "", s, 0},
        {"all four keys",
         "production = https://p.example/v2/\ndevelopment=https://d.example/api/v2/\n"
         "local = https://127.0.0.1:9443/v2/\nlocal_ca = /tmp/ca.pem\n",
         {"https://p.example/v2/", "https://d.example/api/v2/", "https://127.0.0.1:9443/v2/", "/tmp/ca.pem"},
         0},
        {"quoted values",
         "local = \"https://[::1]:8443/v2/\"  # loopback\nlocal_ca=\"/a b/#c.pem\"\n",
         {s.production, s.development, "https://[::1]:8443/v2/", "/a b/#c.pem"},
         0},
        {"plain http refused", "production = http://p.example/v2/\n", s, 1},
        {"empty value", "production =\nlocal_ca = \"\"\n", s, 2},
        {"text after the quote", "local = \"https://l.example/v2/\" extra\n", s, 1},
        {"a bad line keeps the good one before it",
         "local = https://good.example/v2/\nlocal = ftp://bad.example/v2/\n",
         {s.production, s.development, "https://good.example/v2/", s.localCertificate},
         1},
    };
    for (const auto& [name, text, expected, errorLines] : cases) {
        std::ostringstream err;
        EXPECT_EQ(parseServerConfig(text, kStart, err), expected) << name;
        EXPECT_EQ(lines(err.str()), errorLines) << name << ": " << err.str();
    }
}

class ServerConfigFile : public velmo::test::TempHome {};

TEST_F(ServerConfigFile, BuiltInBasesAndTheUsersFolders) {
    std::ostringstream err;
    const ServerBases builtIn = loadServerBases(err);
    EXPECT_EQ(builtIn.local, "https://localhost:8443/v2/");
    EXPECT_EQ(builtIn.localCertificate, (root() / "data" / "tarvod" / "tls" / "cert.pem").string());
    EXPECT_EQ(serverConfigPath(), (suiteFolder() / "servers.conf").string());

    // A relative XDG_DATA_HOME is ignored: the certificate is looked for under HOME.
    velmo::test::ScopedEnv data("XDG_DATA_HOME", "relative/data");
    velmo::test::ScopedEnv home("HOME", root().string());
    EXPECT_EQ(ServerBases::builtIn().localCertificate, (root() / ".local/share/tarvod/tls/cert.pem").string());
}
