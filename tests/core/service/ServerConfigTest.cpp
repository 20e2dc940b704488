#include "core/service/ServerConfig.h"

#include "ServiceFixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

using namespace velmo;

namespace {

const ServerBases kStart{"https://api.velmomac.example/v2/", "https://dev.velmomac.example/v2/",
                         "https://localhost:8443/v2/", "/data/tarvod/tls/cert.pem"};

struct Case {
    const char* name;
    const char* text;
    ServerBases expected;
    int errorLines;
};

int lines(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

TEST(ServerConfig, ParsesKeysQuotesAndComments) {
    const ServerBases& s = kStart;
    const std::vector<Case> cases{
        {"empty", "", s, 0},
        {"comments and blank lines", "# just a comment\n\n   \n  # indented\n", s, 0},
        {"all four keys",
         "production = https://p.example/v2/\ndevelopment=https://d.example/api/v2/\n"
         "local = https://127.0.0.1:9443/v2/\nlocal_ca = /tmp/ca.pem\n",
         {"https://p.example/v2/", "https://d.example/api/v2/", "https://127.0.0.1:9443/v2/", "/tmp/ca.pem"},
         0},
        {"quoted values",
         "local = \"https://[::1]:8443/v2/\"  # loopback\nlocal_ca=\"/a b/#c.pem\"\n",
         {s.production, s.development, "https://[::1]:8443/v2/", "/a b/#c.pem"},
         0},
        {"trailing comment and CRLF",
         "production = https://p.example/v2/ # main\r\n",
         {"https://p.example/v2/", s.development, s.local, s.localCertificate},
         0},
        {"last line wins",
         "local = https://a.example/v2/\nlocal = https://b.example/v2/",
         {s.production, s.development, "https://b.example/v2/", s.localCertificate},
         0},
        {"plain http refused", "production = http://p.example/v2/\n", s, 1},
        {"not ending in v2/", "production = https://p.example/v3/\n", s, 1},
        {"missing slash", "development = https://d.example/v2\n", s, 1},
        {"no host", "local = https:///v2/\n", s, 1},
        {"v2 as the host", "local = https://v2/\n", s, 1},
        {"white space inside", "local = \"https://a example/v2/\"\n", s, 1},
        {"empty value", "production =\nlocal_ca = \"\"\n", s, 2},
        {"unknown key", "staging = https://s.example/v2/\n", s, 1},
        {"no equals sign", "production https://p.example/v2/\n", s, 1},
        {"open quote", "local = \"https://l.example/v2/\n", s, 1},
        {"text after the quote", "local = \"https://l.example/v2/\" extra\n", s, 1},
        {"a bad line keeps the good one before it",
         "local = https://good.example/v2/\nlocal = ftp://bad.example/v2/\n",
         {s.production, s.development, "https://good.example/v2/", s.localCertificate},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream err;
        EXPECT_EQ(parseServerConfig(c.text, kStart, err), c.expected);
        EXPECT_EQ(lines(err.str()), c.errorLines) << err.str();
    }
}

TEST(ServerConfig, ErrorLineNamesTheFileTheLineAndTheKeptValue) {
    std::ostringstream err;
    parseServerConfig("# c\nproduction = http://p.example/v2/\n", kStart, err, "/home/u/.config/velmomac/servers.conf");
    EXPECT_EQ(err.str(),
              "velmo: /home/u/.config/velmomac/servers.conf:2: production: \"http://p.example/v2/\" nem "
              "v2/-re végződő https-cím; marad: https://api.velmomac.example/v2/\n");
}

class ServerConfigFile : public velmo::test::PrivateFolders {};

TEST_F(ServerConfigFile, BuiltInDefaultsWithoutAFile) {
    std::ostringstream err;
    const ServerBases bases = loadServerBases(err);
    EXPECT_EQ(bases.local, "https://localhost:8443/v2/");
    EXPECT_TRUE(isValidServerBase(bases.production));
    EXPECT_TRUE(isValidServerBase(bases.development));
    EXPECT_EQ(bases.localCertificate, (folder_ / "data" / "tarvod" / "tls" / "cert.pem").string());
    EXPECT_EQ(serverConfigPath(), (folder_ / "config" / "velmomac" / "servers.conf").string());
    EXPECT_TRUE(err.str().empty());
}

TEST_F(ServerConfigFile, CertificateFallsBackToTheHomeDataFolder) {
    const char* home = std::getenv("HOME");
    const std::optional<std::string> savedHome = home ? std::optional<std::string>(home) : std::nullopt;
    setenv("XDG_DATA_HOME", "relative/data", 1);  // relative values are ignored
    setenv("HOME", folder_.c_str(), 1);
    const std::string certificate = ServerBases::builtIn().localCertificate;
    if (savedHome) {
        setenv("HOME", savedHome->c_str(), 1);
    } else {
        unsetenv("HOME");
    }
    EXPECT_EQ(certificate, (folder_ / ".local" / "share" / "tarvod" / "tls" / "cert.pem").string());
}

TEST_F(ServerConfigFile, FileOverridesTheDefaults) {
    std::filesystem::create_directories(folder_ / "config" / "velmomac");
    std::ofstream(folder_ / "config" / "velmomac" / "servers.conf")
        << "local = https://127.0.0.1:9000/v2/\nlocal_ca = /tmp/x.pem\nproduction = gopher://x/v2/\n";
    std::ostringstream err;
    const ServerBases bases = loadServerBases(err);
    EXPECT_EQ(bases.local, "https://127.0.0.1:9000/v2/");
    EXPECT_EQ(bases.localCertificate, "/tmp/x.pem");
    EXPECT_EQ(bases.production, ServerBases::builtIn().production);
    EXPECT_NE(err.str().find("servers.conf:3: production:"), std::string::npos) << err.str();
}
