#pragma once
// Test support for the row views, the window and the widget: a scripted departures source and departure items.

#include "core/display/DeparturesClient.h"
#include "core/settings/AppSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::test {

// Records the queries and hands their callbacks to the test, which answers them.
class FakeDeparturesClient : public DeparturesClient {
public:
    void getWithLocation(bool skip_nearby, Callback callback) override;
    void cancel() override { ++cancels; }
    // Copies the members that are strings, bools or whole numbers; a non-object is refused.
    std::optional<PlistMap> toDictionary(const JSON& departure) const override;
    std::string toErrorString(std::string_view code) const override { return "Hiba (" + std::string(code) + ")"; }

    void getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                     const std::string& routeId, DetailsCallback callback) override;
    void getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                        const std::string& routeId, DetailsCallback callback) override;

    // Answers the oldest unanswered query.
    void answer(std::optional<std::string> error, std::optional<JSON> first, std::optional<JSON> second);

    // A trip-details query: "more" or "vehicle", its four strings, and its callback.
    struct DetailsQuery {
        std::string endpoint, city, tripId, stopId, routeId;
        DetailsCallback callback;
    };
    std::vector<Callback> pending;
    std::vector<DetailsQuery> details;
    int cancels = 0;
};

// An array of `count` departures in the reply's shape, their texts numbered from `first`.
JSON departureList(int count, int first = 0);

// A full item map as the row view reads it.
PlistMap departureItem(const std::string& line, const std::string& minutes, bool gps, bool favStop = false,
                       bool favRoute = false);

}  // namespace velmo::test
