#include "server/query/Geo.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmo::query {

double distanceMetres(double lat1, double lon1, double lat2, double lon2) {
    constexpr double kEarthRadius = 6371008.8;
    constexpr double kRad = std::numbers::pi / 180.0;
    const double dLat = (lat2 - lat1) * kRad;
    const double dLon = (lon2 - lon1) * kRad;
    const double a = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(lat1 * kRad) * std::cos(lat2 * kRad) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadius * std::asin(std::min(1.0, std::sqrt(a)));
}

GridIndex::GridIndex(const gtfs::Feed& feed) {
    double latSum = 0;
    std::size_t n = 0;
    for (const auto& s : feed.stops) {
        if (s.type == gtfs::LocationType::Stop) {
            latSum += s.lat;
            ++n;
        }
    }
    if (n == 0) {
        return;
    }
    // Cells stay square enough for any feed short of the poles.
    const double meanLat = std::clamp(latSum / static_cast<double>(n), -85.0, 85.0);
    lonMetres_ = kMetresPerDegree * std::cos(meanLat * std::numbers::pi / 180.0);
    for (std::size_t i = 0; i < feed.stops.size(); ++i) {
        const auto& s = feed.stops[i];
        if (s.type == gtfs::LocationType::Stop) {
            const auto [y, x] = cell(s.lat, s.lon);
            entries_.emplace_back(key(y, x), gtfs::StopIdx(i));
        }
    }
    std::sort(entries_.begin(), entries_.end());
}

std::pair<std::int64_t, std::int64_t> GridIndex::cell(double lat, double lon) const {
    lat = std::clamp(lat, -90.0, 90.0);
    lon = std::clamp(lon, -180.0, 180.0);
    return {static_cast<std::int64_t>(std::floor(lat * kMetresPerDegree / kCellMetres)),
            static_cast<std::int64_t>(std::floor(lon * lonMetres_ / kCellMetres))};
}

std::vector<std::pair<std::uint64_t, gtfs::StopIdx>>::const_iterator GridIndex::lowerBound(std::uint64_t k) const {
    return std::lower_bound(entries_.begin(), entries_.end(), k,
                            [](const auto& e, std::uint64_t v) { return e.first < v; });
}

}  // namespace velmo::query
