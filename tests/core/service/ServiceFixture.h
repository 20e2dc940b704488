#pragma once
// A private world for each test: empty configuration and data folders, so nothing reads or
// writes the user's own settings, servers.conf or certificates.

#include "core/json/JSON.h"
#include "platform/defaults/PlistValue.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

namespace velmo::test {

class PrivateFolders : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (std::filesystem::temp_directory_path() / "velmo-service-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        folder_ = pattern;
        std::filesystem::create_directories(folder_ / "config");
        std::filesystem::create_directories(folder_ / "data");
        setenv("XDG_CONFIG_HOME", (folder_ / "config").c_str(), 1);
        setenv("XDG_DATA_HOME", (folder_ / "data").c_str(), 1);
    }

    void TearDown() override {
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_DATA_HOME");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    std::filesystem::path folder_;
};

// Everything one departures callback received, and how often it ran.
struct DeparturesReply {
    int calls = 0;
    std::optional<std::string> error;
    std::optional<JSON> stopDates;
    std::optional<JSON> stopDatesNearby;
    std::optional<std::string> cityName;
    std::optional<std::string> cityURL;
    std::optional<std::string> cityKey;
    std::optional<std::string> reserved;

    bool nothingButCalls() const {
        return !error && !stopDates && !stopDatesNearby && !cityName && !cityURL && !cityKey && !reserved;
    }
};

template <typename Callback>
Callback recordInto(DeparturesReply& reply) {
    return
        [&reply](std::optional<std::string> error, std::optional<JSON> stopDates, std::optional<JSON> stopDatesNearby,
                 std::optional<std::string> cityName, std::optional<std::string> cityURL,
                 std::optional<std::string> cityKey, std::optional<std::string> reserved) {
            ++reply.calls;
            reply.error = std::move(error);
            reply.stopDates = std::move(stopDates);
            reply.stopDatesNearby = std::move(stopDatesNearby);
            reply.cityName = std::move(cityName);
            reply.cityURL = std::move(cityURL);
            reply.cityKey = std::move(cityKey);
            reply.reserved = std::move(reserved);
        };
}

// A departure item with every member the client reads, of the right kind.
inline nlohmann::json sampleDeparture() {
    return {
        {"stopLat", 47.497913},
        {"stopLon", 19.040236},
        {"stopDistance", 123.7},
        {"stopFavoriteId", "F01"},
        {"stopUniqueId", "F01-a"},
        {"stopNearest", true},
        {"stopFavorite", false},
        {"stopName", "Deák Ferenc tér"},
        {"routeName", "47"},
        {"routeFavoriteId", "R47"},
        {"routeUniqueId", "R47|0"},
        {"routeFavorite", true},
        {"routeType", "TRAM"},
        {"tripHeadsign", "Budafok"},
        {"tripId", "T1"},
        {"tripUniqueId", "T1@20250314"},
        {"tripDepartureSeconds", 30600},
        {"tripDepartureTimestamp", 1741935600},
        {"tripDepartureMinutesText", "3"},
        {"tripDepartureGPS", true},
        {"warning", false},
        {"hasDetails", true},
    };
}

}  // namespace velmo::test
