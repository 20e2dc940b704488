#include "server/gtfs/Merge.h"

#include "server/gtfs/Loader.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace velmo::gtfs {

namespace {

// Metres between two points a few metres apart (flat earth is exact enough there).
double metresApart(const Stop& a, const Stop& b) {
    constexpr double kEarth = 6371000.0;
    const double rad = std::numbers::pi / 180.0;
    const double x = (b.lon - a.lon) * rad * std::cos((a.lat + b.lat) / 2 * rad);
    const double y = (b.lat - a.lat) * rad;
    return kEarth * std::hypot(x, y);
}

std::string prefixed(const std::string& prefix, const std::string& id) { return id.empty() ? id : prefix + id; }

}  // namespace

std::shared_ptr<const Feed> mergeFeeds(std::vector<FeedPart> parts) {
    if (parts.size() == 1) {
        return std::move(parts.front().feed);
    }
    for (const auto& p : parts) {
        if (p.feed->timezone() != parts.front().feed->timezone()) {
            throw FeedError("feed " + p.key + " runs in time zone " + p.feed->timezone() + ", feed " +
                            parts.front().key + " in " + parts.front().feed->timezone() +
                            ": the feeds of one city must share a time zone");
        }
    }
    auto out = std::make_shared<Feed>();
    std::unordered_map<std::string, StopIdx> firstByOwnId;  // a stop's own id, in the first feed that has it
    std::vector<std::vector<StopIdx>> stopMaps;
    std::vector<bool> shared;  // merged stops that more than one feed calls at
    bool allDated = true;
    for (const auto& p : parts) {
        const Feed& f = *p.feed;
        const std::string prefix = p.key + ":";
        out->partKeys.push_back(p.key);
        const std::size_t agencies = out->agencies.size();
        const std::size_t routes = out->routes.size();
        const std::size_t services = out->serviceIds.size();
        const std::size_t trips = out->trips.size();
        const auto stopTimes = static_cast<std::uint32_t>(out->stopTimes.size());
        const auto headsigns = static_cast<std::uint32_t>(out->stopHeadsigns.size() - 1);

        for (const auto& a : f.agencies) {
            out->agencies.push_back({prefixed(prefix, a.id), a.name, a.url, a.timezone});
        }
        auto& stopMap = stopMaps.emplace_back(f.stops.size());
        for (std::size_t i = 0; i < f.stops.size(); ++i) {
            const Stop& s = f.stops[i];
            const auto earlier = firstByOwnId.find(s.id);
            if (earlier != firstByOwnId.end()) {
                const Stop& e = out->stop(earlier->second);
                if (e.name == s.name && metresApart(e, s) <= kSharedStopMetres) {
                    stopMap[i] = earlier->second;
                    shared[earlier->second.get()] = true;
                    out->stopById.emplace(prefix + s.id, earlier->second);
                    continue;
                }
            }
            stopMap[i] = StopIdx(out->stops.size());
            firstByOwnId.try_emplace(s.id, stopMap[i]);
            out->stopById.emplace(prefix + s.id, stopMap[i]);
            Stop copy = s;
            copy.id = prefix + s.id;
            copy.parent = StopIdx();
            out->stops.push_back(std::move(copy));
            shared.push_back(false);
        }
        for (std::size_t i = 0; i < f.stops.size(); ++i) {
            Stop& s = out->stops[stopMap[i].get()];
            if (f.stops[i].parent.valid() && s.id == prefix + f.stops[i].id) {  // not a shared one
                s.parent = stopMap[f.stops[i].parent.get()];
            }
        }
        for (const auto& r : f.routes) {
            Route copy = r;
            copy.id = prefix + r.id;
            copy.agency = r.agency.valid() ? AgencyIdx(agencies + r.agency.get()) : r.agency;
            out->routeById.emplace(copy.id, RouteIdx(out->routes.size()));
            out->routes.push_back(std::move(copy));
        }
        for (const auto& id : f.serviceIds) {
            out->serviceIds.push_back(prefix + id);
        }
        out->calendar.append(f.calendar);
        out->stopHeadsigns.insert(out->stopHeadsigns.end(), f.stopHeadsigns.begin() + 1, f.stopHeadsigns.end());
        for (const auto& t : f.trips) {
            Trip copy = t;
            copy.id = prefix + t.id;
            copy.route = RouteIdx(routes + t.route.get());
            copy.service = ServiceIdx(services + t.service.get());
            copy.firstStopTime += stopTimes;
            out->tripById.emplace(copy.id, TripIdx(out->trips.size()));
            out->trips.push_back(std::move(copy));
        }
        for (const auto& st : f.stopTimes) {
            StopTime copy = st;
            copy.stop = stopMap[st.stop.get()];
            copy.headsign = st.headsign == 0 ? 0 : st.headsign + headsigns;
            out->stopTimes.push_back(copy);
        }
        for (const auto& fr : f.frequencies) {
            out->frequencies.push_back({TripIdx(trips + fr.trip.get()), fr.start, fr.end, fr.headway});
        }
        if (&p == &parts.front()) {
            out->info = f.info;
        } else if (f.info.startDate && f.info.endDate && out->info.startDate && out->info.endDate) {
            out->info.startDate = std::min(*out->info.startDate, *f.info.startDate);
            out->info.endDate = std::max(*out->info.endDate, *f.info.endDate);
        }
        allDated = allDated && f.info.startDate && f.info.endDate;
    }
    if (!allDated) {
        out->info.startDate = out->info.endDate = std::nullopt;  // the calendar tells the span
    }

    // The parts' departure lists laid side by side; only a shared stop needs sorting again.
    out->departureOffsets.assign(out->stops.size() + 1, 0);
    for (std::size_t k = 0; k < parts.size(); ++k) {
        for (std::size_t i = 0; i < stopMaps[k].size(); ++i) {
            out->departureOffsets[stopMaps[k][i].get() + 1] +=
                static_cast<std::uint32_t>(parts[k].feed->departuresAt(StopIdx(i)).size());
        }
    }
    for (std::size_t i = 1; i < out->departureOffsets.size(); ++i) {
        out->departureOffsets[i] += out->departureOffsets[i - 1];
    }
    out->departures.resize(out->departureOffsets.back());
    std::vector<std::uint32_t> next(out->departureOffsets.begin(), out->departureOffsets.end() - 1);
    std::size_t trips = 0;
    std::uint32_t stopTimes = 0;
    for (std::size_t k = 0; k < parts.size(); ++k) {
        const Feed& f = *parts[k].feed;
        for (std::size_t i = 0; i < stopMaps[k].size(); ++i) {
            for (const auto& d : f.departuresAt(StopIdx(i))) {
                out->departures[next[stopMaps[k][i].get()]++] = {d.departure, TripIdx(trips + d.trip.get()),
                                                                 stopTimes + d.stopTime};
            }
        }
        trips += f.trips.size();
        stopTimes += static_cast<std::uint32_t>(f.stopTimes.size());
        parts[k].feed.reset();  // what the merged feed holds need not be held twice
    }
    for (std::size_t s = 0; s < out->stops.size(); ++s) {
        if (shared[s]) {
            std::sort(out->departures.begin() + out->departureOffsets[s],
                      out->departures.begin() + out->departureOffsets[s + 1],
                      [](const StopDeparture& x, const StopDeparture& y) {
                          return x.departure != y.departure ? x.departure < y.departure : x.trip < y.trip;
                      });
        }
    }
    return out;
}

std::shared_ptr<const Feed> liveView(std::shared_ptr<const Feed> merged, std::string_view key) {
    auto view = std::make_shared<Feed>();
    view->viewOf = std::move(merged);
    view->viewKey = std::string(key);
    return view;
}

}  // namespace velmo::gtfs
