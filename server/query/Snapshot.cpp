#include "server/query/Snapshot.h"

#include <numeric>
#include <stdexcept>

namespace velmo::query {

namespace {

constexpr double kGroupRadius = 150.0;

std::size_t findRoot(std::vector<std::size_t>& parent, std::size_t i) {
    while (parent[i] != i) {
        parent[i] = parent[parent[i]];
        i = parent[i];
    }
    return i;
}

std::vector<gtfs::StopIdx> buildGroups(const gtfs::Feed& feed, const GridIndex& index) {
    const std::size_t n = feed.stops.size();
    std::vector<std::size_t> parent(n);
    std::iota(parent.begin(), parent.end(), std::size_t{0});
    for (std::size_t i = 0; i < n; ++i) {
        const auto& s = feed.stops[i];
        if (s.type != gtfs::LocationType::Stop || s.parent.valid()) {
            continue;
        }
        index.forEachWithin(feed, s.lat, s.lon, kGroupRadius, [&](gtfs::StopIdx other, double) {
            const auto& o = feed.stop(other);
            if (!o.parent.valid() && o.name == s.name) {
                const std::size_t a = findRoot(parent, i);
                const std::size_t b = findRoot(parent, other.get());
                parent[std::max(a, b)] = std::min(a, b);
            }
        });
    }
    std::vector<gtfs::StopIdx> group(n);
    for (std::size_t i = 0; i < n; ++i) {
        const auto& s = feed.stops[i];
        group[i] = s.parent.valid() ? s.parent : gtfs::StopIdx(findRoot(parent, i));
    }
    return group;
}

}  // namespace

std::shared_ptr<const RealtimeOverlay> City::overlay(TimePoint now) const {
    auto o = realtime ? realtime->current() : nullptr;
    return o && o->usable(feed, now) ? o : nullptr;
}

std::shared_ptr<const City> City::build(CityConfig config, std::shared_ptr<const gtfs::Feed> feed,
                                        std::shared_ptr<realtime::Live> live) {
    auto city = std::make_shared<City>();
    city->realtime = std::move(live);
    const gtfs::Agency& agency = feed->agencies.front();
    city->key = std::move(config.key);
    city->name = config.name.empty() ? agency.name : std::move(config.name);
    city->url = config.url.empty() ? agency.url : std::move(config.url);
    if (!config.nightPattern.empty()) {
        try {
            city->nightPattern.emplace(config.nightPattern, std::regex::ECMAScript);
        } catch (const std::regex_error& e) {
            throw std::runtime_error("city " + city->key + ": bad night_pattern: " + e.what());
        }
    }
    city->zone = date::locate_zone(feed->timezone());
    city->index = GridIndex(*feed);
    city->group = buildGroups(*feed, city->index);
    city->feed = std::move(feed);
    return city;
}

const City* Snapshot::city(std::string_view key) const {
    for (const auto& c : cities) {
        if (c->key == key) {
            return c.get();
        }
    }
    return nullptr;
}

}  // namespace velmo::query
