#include "server/query/Engine.h"
#include "server/query/Geo.h"

#include <gtest/gtest.h>

using namespace velmo::query;

TEST(RouteTypeCode, MapsBasicAndExtendedTypes) {
    const std::regex night("^9\\d\\d$");
    struct Case {
        int type;
        const char* name;
        const char* code;
    };
    const Case cases[] = {
        {0, "4", "TRAM"},      {900, "", "TRAM"},      {906, "", "TRAM"},        {907, "", "UNKNOWN"},
        {1, "M2", "SUBWAY"},   {401, "", "SUBWAY"},    {2, "S70", "RAIL"},       {109, "", "RAIL"},
        {117, "", "RAIL"},     {3, "7", "BUS"},        {200, "", "BUS"},         {716, "", "BUS"},
        {705, "", "NIGHTBUS"}, {3, "914", "NIGHTBUS"}, {700, "956", "NIGHTBUS"}, {3, "9140", "BUS"},
        {4, "D12", "FERRY"},   {1200, "", "FERRY"},    {11, "72", "TROLLEYBUS"}, {800, "", "TROLLEYBUS"},
        {5, "", "UNKNOWN"},    {7, "", "UNKNOWN"},     {1300, "", "UNKNOWN"},    {0, "914", "TRAM"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(routeTypeCode(c.type, c.name, &night), c.code) << c.type << " " << c.name;
    }
    EXPECT_EQ(routeTypeCode(3, "914", nullptr), "BUS");
}

TEST(NaturalLess, OrdersLineNamesAsPeopleRead) {
    const std::vector<std::string> sorted{"2",   "4",   "6",  "9",   "9A", "10", "10A",
                                          "47B", "105", "M2", "M10", "N1", "N12"};
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        for (std::size_t j = 0; j < sorted.size(); ++j) {
            EXPECT_EQ(naturalLess(sorted[i], sorted[j]), i < j) << sorted[i] << " vs " << sorted[j];
        }
    }
}

TEST(NearbyParams, ClampsEveryMember) {
    NearbyParams p;
    p.fetchRadius = -5;
    p.realRadius = 1000000;
    p.minutes = 0;
    p.favSortMode = 7;
    p.favRoutes.assign(10000, "r");
    p.favStops.assign(501, "s");
    p.clamp();
    EXPECT_EQ(p.fetchRadius, 1);
    EXPECT_EQ(p.realRadius, 5000);
    EXPECT_EQ(p.minutes, 1);
    EXPECT_EQ(p.favSortMode, 3);
    EXPECT_EQ(p.favRoutes.size(), 500u);
    EXPECT_EQ(p.favStops.size(), 500u);
    p.minutes = 121;
    p.favSortMode = 4;
    p.clamp();
    EXPECT_EQ(p.minutes, 120);
    EXPECT_EQ(p.favSortMode, 4);
}

TEST(Distance, GreatCircleMetres) {
    // One thousandth of a degree of latitude is about 111 m everywhere.
    EXPECT_NEAR(distanceMetres(47.5, 19.05, 47.501, 19.05), 111.2, 0.2);
    EXPECT_NEAR(distanceMetres(0, 0, 0, 180), 20015114, 10);
    EXPECT_EQ(distanceMetres(47.5, 19.05, 47.5, 19.05), 0);
}
