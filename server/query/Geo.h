#pragma once

#include "server/gtfs/Feed.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace velmo::query {

// Great-circle distance in metres.
double distanceMetres(double lat1, double lon1, double lat2, double lon2);

// A plain grid over a feed's boarding points (cells of about 500 m): the stops
// within a radius are found by scanning the few cells that the radius touches.
class GridIndex {
public:
    GridIndex() = default;
    explicit GridIndex(const gtfs::Feed& feed);

    // Calls fn(stop, metres) for every indexed stop within `radius` metres.
    template <class Fn>
    void forEachWithin(const gtfs::Feed& feed, double lat, double lon, double radius, Fn&& fn) const {
        if (entries_.empty()) {
            return;
        }
        const auto [y0, x0] = cell(lat - radius / kMetresPerDegree, lon - radius / lonMetres_);
        const auto [y1, x1] = cell(lat + radius / kMetresPerDegree, lon + radius / lonMetres_);
        for (std::int64_t y = y0; y <= y1; ++y) {
            auto it = lowerBound(key(y, x0));
            const std::uint64_t end = key(y, x1);
            for (; it != entries_.end() && it->first <= end; ++it) {
                const gtfs::Stop& s = feed.stop(it->second);
                const double d = distanceMetres(lat, lon, s.lat, s.lon);
                if (d <= radius) {
                    fn(it->second, d);
                }
            }
        }
    }

private:
    static constexpr double kMetresPerDegree = 111195.0;
    static constexpr double kCellMetres = 500.0;

    std::pair<std::int64_t, std::int64_t> cell(double lat, double lon) const;
    static std::uint64_t key(std::int64_t y, std::int64_t x) {
        return (static_cast<std::uint64_t>(y + (1 << 20)) << 32) | static_cast<std::uint64_t>(x + (1 << 20));
    }
    std::vector<std::pair<std::uint64_t, gtfs::StopIdx>>::const_iterator lowerBound(std::uint64_t k) const;

    double lonMetres_ = kMetresPerDegree;  // metres per degree of longitude at the feed's latitude
    std::vector<std::pair<std::uint64_t, gtfs::StopIdx>> entries_;
};

}  // namespace velmo::query
