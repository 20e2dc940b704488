// The connection check's reading of a /healthz exchange and the address it asks.

#include "core/service/ServerCheck.h"
#include "core/service/ServerConfig.h"

#include <gtest/gtest.h>

using namespace velmo;

TEST(ServerCheck, HealthAddressBesideTheBase) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"https://localhost:8443/v2/", "https://localhost:8443/healthz"},
        {"https://example.org/api/v2/", "https://example.org/api/healthz"},
        {"", ""}};
    for (const auto& [base, health] : cases)
        EXPECT_EQ(healthUrlForBase(base), health) << base;
}

TEST(ServerCheck, ReportedCitiesOrTheReason) {
    const auto judged = [](const std::string& body, int status = 200) {
        return describeServerCheck(
            judgeHealthReply(Bytes(body.begin(), body.end()), UrlResponse{status, {}, "https://h/healthz"}, {}));
    };
    EXPECT_EQ(judged(R"({"error":false,"cities":[{"cityKey":"mv","cityName":"Mintaváros"},{"cityKey":"nyc"}]})"),
              "A kiszolgáló elérhető. Városok: Mintaváros, nyc");
    EXPECT_EQ(judged(R"({"error":false,"cities":[]})"), "A kiszolgáló elérhető, de egy várost sem szolgál ki.");
    EXPECT_EQ(judged(R"({"error":false,"cities":[],"warning":"no city configured"})", 503),
              "A kiszolgáló elérhető, de egy várost sem szolgál ki.");
    EXPECT_EQ(judged("<html>Service Unavailable</html>", 503), "A kiszolgáló hibával válaszolt (HTTP 503)");
    EXPECT_EQ(judged(R"({"error":false,"cities":[]})", 502), "A kiszolgáló hibával válaszolt (HTTP 502)");
    for (const char* foreign : {"<html>", R"({"cities":[]})", R"({"error":false,"cities":{}})", R"("ok")"})
        EXPECT_EQ(judged(foreign), "A cím mögött nem velmomac-kiszolgáló válaszolt") << foreign;
    EXPECT_EQ(describeServerCheck(judgeHealthReply({}, {}, UrlError{UrlError::serverCertificateUntrusted, "x"})),
              "Hálózati hiba: a kiszolgáló tanúsítványa nem megbízható");
}
