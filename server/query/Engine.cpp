#include "server/query/Engine.h"

#include "server/gtfs/ServiceDay.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <unordered_set>

namespace velmo::query {

namespace {

using namespace std::chrono_literals;
using gtfs::serviceDayZero;
using gtfs::StopIdx;

constexpr std::size_t kMaxFavourites = 500;
constexpr auto kPast = 30s;  // a departure this late is still listed

struct Candidate {
    StopIdx stop;
    StopIdx group;
    double distance = 0;
    double groupDistance = 0;  // of the nearest candidate in the same group
    bool favourite = false;
};

// One departure found in the window, before it becomes an item: a run of the timetable, or a
// call of a trip that live data adds.
struct Found {
    std::uint32_t candidate = 0;
    const gtfs::StopDeparture* departure = nullptr;  // null for an added trip
    date::sys_days day{};                            // its service day
    std::int64_t timestamp = 0;                      // Unix time, predicted where a prediction exists
    std::int64_t seconds = 0;                        // the same in GTFS seconds of the service day
    std::uint64_t line = 0;                          // lineKey of its trip
    bool gps = false;                                // the time is a prediction
    bool cancelled = false;                          // the trip is cancelled or does not stop here: listed, marked
    const realtime::AddedTrip* added = nullptr;
    std::uint32_t call = 0;  // of the added trip
};

// The message that leads the warnings of a cancelled departure.
constexpr const char* kCancelledText = "A járat elmarad";

const std::string& favouriteId(const gtfs::Feed& feed, StopIdx stop) {
    const auto& s = feed.stop(stop);
    return s.parent.valid() ? feed.stop(s.parent).id : s.id;
}

const std::string& routeName(const gtfs::Route& r) { return r.shortName.empty() ? r.longName : r.shortName; }

const std::string& headsignOf(const gtfs::Feed& feed, const gtfs::StopDeparture& d) {
    const gtfs::StopTime& st = feed.stopTimes[d.stopTime];
    if (st.headsign != 0) {
        return feed.stopHeadsigns[st.headsign];
    }
    const gtfs::Trip& trip = feed.trip(d.trip);
    if (!trip.headsign.empty()) {
        return trip.headsign;
    }
    return feed.stop(feed.stopTimesOf(d.trip).back().stop).name;
}

std::string minutesText(std::int64_t secondsLeft) {
    return secondsLeft < 60 ? std::string("!!") : std::to_string(secondsLeft / 60);
}

// "trip_id@YYYYMMDD": the trip's run on one service day. Written by hand: a
// formatting stream per item cost more than the whole rest of the query.
std::string runId(const std::string& tripId, date::sys_days day) {
    const date::year_month_day ymd{day};
    const int y = static_cast<int>(ymd.year());
    if (y < 0 || y > 9999) {
        return tripId + "@" + date::format("%Y%m%d", day);
    }
    const auto m = static_cast<unsigned>(ymd.month());
    const auto d = static_cast<unsigned>(ymd.day());
    const char digits[8] = {static_cast<char>('0' + y / 1000),    static_cast<char>('0' + y / 100 % 10),
                            static_cast<char>('0' + y / 10 % 10), static_cast<char>('0' + y % 10),
                            static_cast<char>('0' + m / 10),      static_cast<char>('0' + m % 10),
                            static_cast<char>('0' + d / 10),      static_cast<char>('0' + d % 10)};
    std::string out;
    out.reserve(tripId.size() + 9);
    out += tripId;
    out += '@';
    out.append(digits, sizeof digits);
    return out;
}

// A (route, direction) pair as one number.
std::uint64_t lineKey(gtfs::RouteIdx route, std::uint8_t direction) {
    return (static_cast<std::uint64_t>(route.value) << 1) | direction;
}
std::uint64_t lineKey(const gtfs::Trip& t) { return lineKey(t.route, t.direction); }

class Query {
public:
    Query(const City& city, const NearbyParams& params, TimePoint now, const EngineOptions& options)
        : city_(city), feed_(*city.feed), params_(params), now_(now), options_(options), overlay_(city.overlay(now)) {
        favStops_.insert(params.favStops.begin(), params.favStops.end());
        favRoutes_.insert(params.favRoutes.begin(), params.favRoutes.end());
    }

    NearbyResult run() {
        NearbyResult result;
        result.cityName = city_.name;
        result.cityURL = city_.url;
        result.cityKey = city_.key;
        result.feed = city_.feed;
        result.overlay = overlay_;
        collectCandidates();
        collectDepartures();
        if (found_.empty()) {
            result.error = kNoTrips;
            return result;
        }
        nearestGroup_ = nearestGroup();
        result.stopDates = items(selectAround());
        result.stopDatesNearby = items(selectNearest());
        return result;
    }

private:
    void collectCandidates() {
        const double fetch = static_cast<double>(params_.fetchRadius);
        const double real = static_cast<double>(params_.realRadius);
        city_.index.forEachWithin(feed_, params_.lat, params_.lon, std::max(fetch, real), [&](StopIdx stop, double d) {
            const bool fav = d <= fetch && favStops_.contains(favouriteId(feed_, stop));
            if (d <= real || fav) {
                candidates_.push_back({stop, city_.group[stop.get()], d, d, fav});
            }
        });
        std::unordered_map<std::uint32_t, double> groupDistance;
        groupDistance.reserve(candidates_.size());
        for (const auto& c : candidates_) {
            auto [it, added] = groupDistance.try_emplace(c.group.value, c.distance);
            if (!added) {
                it->second = std::min(it->second, c.distance);
            }
        }
        for (auto& c : candidates_) {
            c.groupDistance = groupDistance.find(c.group.value)->second;
        }
    }

    void collectDepartures() {
        const date::local_days today = date::floor<date::days>(city_.zone->to_local(now_));
        const TimePoint from = now_ - kPast;
        const TimePoint to = now_ + std::chrono::minutes(params_.minutes);
        // A late departure scheduled before the window may fall into it, an
        // early one scheduled after it too: scan that much wider.
        const std::chrono::seconds late{overlay_ ? overlay_->maxLate : 0};
        const std::chrono::seconds early{overlay_ ? overlay_->maxEarly : 0};
        // Trips of earlier service days may still run (times past 24:00);
        // a day starting after the window cannot contribute.
        for (int back = 3; back >= -1; --back) {
            const date::local_days local = today - date::days(back);
            const TimePoint zero = serviceDayZero(city_.zone, local);
            const std::int64_t lo = (from - late - zero).count();
            const std::int64_t hi = (to + early - zero).count();
            if (hi < 0) {
                continue;
            }
            const date::sys_days day{local.time_since_epoch()};
            for (std::uint32_t c = 0; c < candidates_.size(); ++c) {
                const auto deps = feed_.departuresAt(candidates_[c].stop);
                auto it = std::lower_bound(
                    deps.begin(), deps.end(), lo,
                    [](const gtfs::StopDeparture& d, std::int64_t v) { return d.departure.count() < v; });
                for (; it != deps.end() && it->departure.count() <= hi; ++it) {
                    const gtfs::Trip& trip = feed_.trip(it->trip);
                    if (!feed_.calendar.active(trip.service, day)) {
                        continue;
                    }
                    Found f{c,
                            &*it,
                            day,
                            (zero + it->departure).time_since_epoch().count(),
                            it->departure.count(),
                            lineKey(trip)};
                    if (!live(f, zero, from, to)) {
                        continue;
                    }
                    found_.push_back(f);
                }
            }
        }
        collectAdded(from, to);
    }

    // Calls of added trips at the candidate stops, at their predicted times.
    void collectAdded(TimePoint from, TimePoint to) {
        if (!overlay_ || overlay_->added.empty()) {
            return;
        }
        for (std::uint32_t c = 0; c < candidates_.size(); ++c) {
            const auto at = overlay_->addedAt.find(candidates_[c].stop.value);
            if (at == overlay_->addedAt.end()) {
                continue;
            }
            for (const auto& [t, call] : at->second) {
                const realtime::AddedTrip& trip = overlay_->added[t];
                const std::int64_t departure = trip.calls[call].departure;
                // Like the timetable's last stops, where an added trip ends nobody boards.
                if (call + 1 == trip.calls.size() || departure < from.time_since_epoch().count() ||
                    departure > to.time_since_epoch().count()) {
                    continue;
                }
                const TimePoint zero = serviceDayZero(city_.zone, date::local_days(trip.day.time_since_epoch()));
                Found f{c,
                        nullptr,
                        trip.day,
                        departure,
                        departure - zero.time_since_epoch().count(),
                        lineKey(trip.route, trip.direction)};
                f.gps = true;
                f.added = &trip;
                f.call = call;
                found_.push_back(f);
            }
        }
    }

    const gtfs::Route& routeOf(const Found& f) const {
        return feed_.route(f.added != nullptr ? f.added->route : feed_.trip(f.departure->trip).route);
    }
    const std::string& tripIdOf(const Found& f) const {
        return f.added != nullptr ? f.added->tripId : feed_.trip(f.departure->trip).id;
    }

    // Applies the overlay to a departure; false when its time lies outside the window. A
    // cancelled trip or a skipped stop stays at its timetable time, marked as cancelled.
    bool live(Found& f, TimePoint zero, TimePoint from, TimePoint to) const {
        const gtfs::Trip& trip = feed_.trip(f.departure->trip);
        if (overlay_) {
            const realtime::RunUpdate* run = nullptr;
            if (!trip.frequencyBased) {
                run = overlay_->run(f.departure->trip, f.day);
            } else if (!overlay_->frequencyRuns.empty()) {
                // The run's start: the template's first departure moved as this stop's is.
                const gtfs::Seconds shift = f.departure->departure - feed_.stopTimes[f.departure->stopTime].departure;
                run = overlay_->run(f.departure->trip, f.day, feed_.stopTimes[trip.firstStopTime].departure + shift);
            }
            if (run != nullptr) {
                if (run->canceled) {
                    f.cancelled = true;
                    return inWindow(f, from, to);
                }
                const std::size_t i = f.departure->stopTime - trip.firstStopTime;
                if (i < run->departure.size()) {
                    if (run->skipped[i] != 0) {
                        f.cancelled = true;
                        return inWindow(f, from, to);
                    }
                    if (run->departure[i] != realtime::kNoPrediction) {
                        f.timestamp = run->departure[i];
                        f.seconds = f.timestamp - zero.time_since_epoch().count();
                        f.gps = true;
                    }
                }
            }
        }
        return inWindow(f, from, to);
    }

    static bool inWindow(const Found& f, TimePoint from, TimePoint to) {
        return f.timestamp >= from.time_since_epoch().count() && f.timestamp <= to.time_since_epoch().count();
    }

    // The nearest stop group that has a departure in the window.
    StopIdx nearestGroup() const {
        const Candidate* best = nullptr;
        for (const Found& f : found_) {
            const Candidate& c = candidates_[f.candidate];
            if (best == nullptr || c.groupDistance < best->groupDistance ||
                (c.groupDistance == best->groupDistance && c.group < best->group)) {
                best = &c;
            }
        }
        return best->group;
    }

    void sortByTime(std::vector<const Found*>& list) const {
        std::sort(list.begin(), list.end(), [&](const Found* a, const Found* b) {
            if (a->timestamp != b->timestamp) {
                return a->timestamp < b->timestamp;
            }
            const double da = candidates_[a->candidate].distance;
            const double db = candidates_[b->candidate].distance;
            if (da != db) {
                return da < db;
            }
            const auto& ra = routeName(routeOf(*a));
            const auto& rb = routeName(routeOf(*b));
            if (ra != rb) {
                return naturalLess(ra, rb);
            }
            return tripIdOf(*a) < tripIdOf(*b);
        });
    }

    // Keeps the first max_per_line departures of each (stop group, route, direction), cancelled
    // ones included; when those are all cancelled, the line's next served departure is kept too,
    // so that a rider sees when the line really leaves.
    void cap(std::vector<const Found*>& list) const {
        struct Count {
            int listed = 0;
            bool served = false;
        };
        std::unordered_map<std::uint64_t, Count> seen;
        std::erase_if(list, [&](const Found* f) {
            const std::uint64_t key =
                (static_cast<std::uint64_t>(candidates_[f->candidate].group.value) << 32) ^ f->line;
            Count& c = seen[key];
            const bool keep = ++c.listed <= options_.maxPerLine || (!f->cancelled && !c.served);
            c.served = c.served || (keep && !f->cancelled);
            return !keep;
        });
    }

    bool favouriteRoute(const Found& f) const { return favRoutes_.contains(routeOf(f).id); }

    std::vector<const Found*> selectAround() const {
        // A line shows where it is closest: the nearest group serving it in the window (where
        // it is only cancelled, the nearest group where it would have run).
        struct Best {
            const Candidate* candidate;
            bool served;
        };
        std::unordered_map<std::uint64_t, Best> bestGroup;
        bestGroup.reserve(found_.size());
        for (const Found& f : found_) {
            const Best b{&candidates_[f.candidate], !f.cancelled};
            auto [it, added] = bestGroup.try_emplace(f.line, b);
            if (!added) {
                const Candidate* c = b.candidate;
                const Candidate* cur = it->second.candidate;
                if (b.served != it->second.served
                        ? b.served
                        : c->groupDistance < cur->groupDistance ||
                              (c->groupDistance == cur->groupDistance && c->group < cur->group)) {
                    it->second = b;
                }
            }
        }
        std::vector<const Found*> list;
        list.reserve(found_.size());
        for (const Found& f : found_) {
            const Candidate& c = candidates_[f.candidate];
            if (c.favourite || bestGroup.find(f.line)->second.candidate->group == c.group) {
                list.push_back(&f);
            }
        }
        sortByTime(list);
        cap(list);
        promoteFavourites(list);
        return list;
    }

    void promoteFavourites(std::vector<const Found*>& list) const {
        std::vector<bool> up(list.size(), false);
        std::unordered_set<std::uint64_t> firstOfLine;
        for (std::size_t i = 0; i < list.size(); ++i) {
            const Found& f = *list[i];
            switch (params_.favSortMode) {
                case 1: up[i] = favouriteRoute(f); break;
                case 2: up[i] = favouriteRoute(f) && firstOfLine.insert(f.line).second; break;
                case 4:
                    up[i] = favouriteRoute(f) && favStops_.contains(favouriteId(feed_, candidates_[f.candidate].stop));
                    break;
                default: break;
            }
        }
        std::vector<const Found*> promoted;
        std::vector<const Found*> rest;
        for (std::size_t i = 0; i < list.size(); ++i) {
            (up[i] ? promoted : rest).push_back(list[i]);
        }
        promoted.insert(promoted.end(), rest.begin(), rest.end());
        list = std::move(promoted);
    }

    std::vector<const Found*> selectNearest() const {
        std::vector<const Found*> list;
        for (const Found& f : found_) {
            if (candidates_[f.candidate].group == nearestGroup_) {
                list.push_back(&f);
            }
        }
        sortByTime(list);
        cap(list);
        return list;
    }

    std::vector<Departure> items(const std::vector<const Found*>& list) const {
        std::vector<Departure> out(list.size());
        for (std::size_t i = 0; i < list.size(); ++i) {
            fill(out[i], *list[i]);
        }
        return out;
    }

    void fill(Departure& d, const Found& f) const {
        const Candidate& c = candidates_[f.candidate];
        const gtfs::Stop& stop = feed_.stop(c.stop);
        const gtfs::Route& route = routeOf(f);
        const std::string& tripId = tripIdOf(f);
        const std::uint8_t direction =
            f.added != nullptr ? f.added->direction : feed_.trip(f.departure->trip).direction;
        d.stopLat = stop.lat;
        d.stopLon = stop.lon;
        d.stopDistance = std::llround(c.distance);
        d.stopFavoriteId = favouriteId(feed_, c.stop);
        d.stopUniqueId = stop.id;
        d.stopNearest = c.group == nearestGroup_;
        d.stopFavorite = favStops_.contains(d.stopFavoriteId);
        d.stopName = stop.name;
        d.routeName = routeName(route);
        d.routeFavoriteId = route.id;
        d.routeUniqueId = route.id + "|" + std::to_string(direction);
        d.routeFavorite = favRoutes_.contains(route.id);
        d.routeType = routeTypeCode(route.type, route.shortName, city_.nightPattern ? &*city_.nightPattern : nullptr);
        d.tripHeadsign =
            f.added != nullptr ? feed_.stop(f.added->calls.back().stop).name : headsignOf(feed_, *f.departure);
        d.tripId = tripId;
        d.tripUniqueId = runId(tripId, f.day);
        d.tripDepartureSeconds = f.seconds;
        d.tripDepartureTimestamp = f.timestamp;
        d.tripDepartureMinutesText = minutesText(f.timestamp - now_.time_since_epoch().count());
        d.tripDepartureGPS = f.gps;
        d.tripCancelled = f.cancelled;
        if (f.cancelled) {
            d.warningText.emplace_back(kCancelledText);
        }
        if (overlay_ && !overlay_->alerts.empty()) {
            for (auto& text : overlay_->warnings(
                     {feed_.agencies[route.agency.valid() ? route.agency.get() : 0].id, route.id, route.type, tripId,
                      direction, stop.id, stop.parent.valid() ? std::string_view(feed_.stop(stop.parent).id) : ""},
                     now_)) {
                d.warningText.push_back(std::move(text));
            }
        }
    }

    const City& city_;
    const gtfs::Feed& feed_;
    const NearbyParams& params_;
    TimePoint now_;
    const EngineOptions& options_;
    std::unordered_set<std::string_view> favStops_;
    std::unordered_set<std::string_view> favRoutes_;
    std::vector<Candidate> candidates_;
    std::vector<Found> found_;
    StopIdx nearestGroup_;
    std::shared_ptr<const RealtimeOverlay> overlay_;
};

TripResult addedTripDetails(const City& city, const RealtimeOverlay& overlay, const realtime::AddedTrip& added,
                            std::string_view stopId, TimePoint now) {
    const gtfs::Feed& feed = *city.feed;
    const gtfs::Route& route = feed.route(added.route);
    TripResult r;
    r.tripId = added.tripId;
    r.routeName = routeName(route);
    r.routeType = routeTypeCode(route.type, route.shortName, city.nightPattern ? &*city.nightPattern : nullptr);
    r.headsign = feed.stop(added.calls.back().stop).name;
    r.warningText = overlay.warnings({feed.agencies[route.agency.valid() ? route.agency.get() : 0].id, route.id,
                                      route.type, added.tripId, added.direction, "", ""},
                                     now);
    for (const auto& call : added.calls) {
        const gtfs::Stop& s = feed.stop(call.stop);
        TripStop out;
        out.stopId = s.id;
        out.stopName = s.name;
        out.lat = s.lat;
        out.lon = s.lon;
        out.arrivalTimestamp = call.arrival;
        out.departureTimestamp = call.departure;
        out.gps = true;
        out.passed = call.departure < now.time_since_epoch().count();
        out.selected = s.id == stopId;
        r.stops.push_back(std::move(out));
    }
    return r;
}

}  // namespace

void NearbyParams::clamp() {
    fetchRadius = std::clamp<std::int64_t>(fetchRadius, 1, 5000);
    realRadius = std::clamp<std::int64_t>(realRadius, 1, 5000);
    minutes = std::clamp<std::int64_t>(minutes, 1, 120);
    if (favSortMode < 1 || favSortMode > 4) {
        favSortMode = 3;
    }
    if (favRoutes.size() > kMaxFavourites) {
        favRoutes.resize(kMaxFavourites);
    }
    if (favStops.size() > kMaxFavourites) {
        favStops.resize(kMaxFavourites);
    }
}

NearbyResult nearby(const Snapshot& snapshot, NearbyParams params, TimePoint now, const EngineOptions& options) {
    params.clamp();
    const City* best = nullptr;
    double bestDistance = 0;
    for (const auto& city : snapshot.cities) {
        city->index.forEachWithin(*city->feed, params.lat, params.lon, static_cast<double>(params.fetchRadius),
                                  [&](StopIdx, double d) {
                                      if (best == nullptr || d < bestDistance) {
                                          best = city.get();
                                          bestDistance = d;
                                      }
                                  });
    }
    if (best == nullptr) {
        NearbyResult r;
        r.error = kNoStops;
        return r;
    }
    return Query(*best, params, now, options).run();
}

TripResult tripDetails(const Snapshot& snapshot, std::string_view cityKey, std::string_view tripId,
                       std::string_view stopId, TimePoint now) {
    TripResult r;
    const City* city = snapshot.city(cityKey);
    const auto* feed = city != nullptr ? city->feed.get() : nullptr;
    const auto it = feed != nullptr ? feed->tripById.find(std::string(tripId)) : decltype(feed->tripById.end()){};
    if (feed != nullptr && it == feed->tripById.end()) {
        if (const auto overlay = city->overlay(now)) {
            if (const auto* added = overlay->addedTrip(tripId)) {
                return addedTripDetails(*city, *overlay, *added, stopId, now);
            }
        }
    }
    if (feed == nullptr || it == feed->tripById.end()) {
        r.error = kNoTrip;
        return r;
    }
    const gtfs::Trip& trip = feed->trip(it->second);
    const gtfs::Route& route = feed->route(trip.route);
    const auto times = feed->stopTimesOf(it->second);

    // Start offsets of the trip's runs within a service day.
    std::vector<gtfs::Seconds> shifts;
    if (trip.frequencyBased) {
        for (const auto& f : feed->frequencies) {
            if (f.trip == it->second) {
                for (auto s = f.start; s < f.end; s += f.headway) {
                    shifts.push_back(s - times.front().departure);
                }
            }
        }
    } else {
        shifts.push_back(gtfs::Seconds(0));
    }
    const date::local_days today = date::floor<date::days>(city->zone->to_local(now));
    std::optional<std::pair<TimePoint, gtfs::Seconds>> chosen;  // service-day zero, shift
    std::optional<std::pair<TimePoint, gtfs::Seconds>> lastBefore;
    for (int offset = -3; offset <= 7 && !chosen; ++offset) {
        const date::local_days local = today + date::days(offset);
        if (!feed->calendar.active(trip.service, date::sys_days{local.time_since_epoch()})) {
            continue;
        }
        const TimePoint zero = serviceDayZero(city->zone, local);
        for (const auto shift : shifts) {
            if (zero + times.back().arrival + shift >= now) {
                chosen.emplace(zero, shift);
                break;
            }
            lastBefore.emplace(zero, shift);
        }
    }
    if (!chosen) {
        chosen = lastBefore;
    }
    if (!chosen) {
        // Never runs near today: the timetable's times on today's date.
        chosen.emplace(serviceDayZero(city->zone, today), shifts.front());
    }
    r.tripId = trip.id;
    r.routeName = routeName(route);
    r.routeType = routeTypeCode(route.type, route.shortName, city->nightPattern ? &*city->nightPattern : nullptr);
    r.headsign = trip.headsign.empty() ? feed->stop(times.back().stop).name : trip.headsign;
    const auto overlay = city->overlay(now);
    const realtime::RunUpdate* run = nullptr;
    if (overlay) {
        const date::local_days local = date::floor<date::days>(city->zone->to_local(chosen->first + 12h));
        const date::sys_days day{local.time_since_epoch()};
        run = trip.frequencyBased ? overlay->run(it->second, day, times.front().departure + chosen->second)
                                  : overlay->run(it->second, day);
        const gtfs::Route& rt = route;
        r.warningText = overlay->warnings({feed->agencies[rt.agency.valid() ? rt.agency.get() : 0].id, rt.id, rt.type,
                                           trip.id, trip.direction, "", ""},
                                          now);
    }
    for (std::size_t i = 0; i < times.size(); ++i) {
        const auto& st = times[i];
        const gtfs::Stop& s = feed->stop(st.stop);
        TripStop out;
        out.stopId = s.id;
        out.stopName = s.name;
        out.lat = s.lat;
        out.lon = s.lon;
        out.arrivalTimestamp = (chosen->first + st.arrival + chosen->second).time_since_epoch().count();
        out.departureTimestamp = (chosen->first + st.departure + chosen->second).time_since_epoch().count();
        if (run != nullptr && i < run->departure.size() && run->departure[i] != realtime::kNoPrediction) {
            out.arrivalTimestamp = run->arrival[i];
            out.departureTimestamp = run->departure[i];
            out.gps = true;
        }
        out.cancelled = run != nullptr && (run->canceled || (i < run->skipped.size() && run->skipped[i] != 0));
        out.passed = out.departureTimestamp < now.time_since_epoch().count();
        out.selected = s.id == stopId;
        r.stops.push_back(std::move(out));
    }
    return r;
}

VehicleResult vehicle(const Snapshot& snapshot, std::string_view cityKey, std::string_view tripId, TimePoint now) {
    VehicleResult r;
    const City* city = snapshot.city(cityKey);
    const auto overlay = city != nullptr ? city->overlay(now) : nullptr;
    if (city == nullptr ||
        (!city->feed->tripById.contains(std::string(tripId)) && (!overlay || !overlay->addedTrip(tripId)))) {
        r.error = kNoTrip;
        return r;
    }
    const realtime::VehicleState* v = overlay ? overlay->vehicle(tripId) : nullptr;
    if (v == nullptr) {
        r.error = kNoVehicle;
        return r;
    }
    r.vehicle = *v;
    return r;
}

std::string routeTypeCode(int t, std::string_view shortName, const std::regex* nightPattern) {
    if (t == 0 || (t >= 900 && t <= 906)) {
        return "TRAM";
    }
    if (t == 1 || (t >= 400 && t <= 405)) {
        return "SUBWAY";
    }
    if (t == 2 || (t >= 100 && t <= 117)) {
        return "RAIL";
    }
    if (t == 3 || (t >= 200 && t <= 299) || (t >= 700 && t <= 716)) {
        const bool night = t == 705 || (nightPattern != nullptr &&
                                        std::regex_search(shortName.begin(), shortName.end(), *nightPattern));
        return night ? "NIGHTBUS" : "BUS";
    }
    if (t == 4 || (t >= 1000 && t <= 1200)) {
        return "FERRY";
    }
    if (t == 11 || t == 800) {
        return "TROLLEYBUS";
    }
    return "UNKNOWN";
}

bool naturalLess(std::string_view a, std::string_view b) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ie = i;
            std::size_t je = j;
            while (ie < a.size() && isDigit(a[ie])) {
                ++ie;
            }
            while (je < b.size() && isDigit(b[je])) {
                ++je;
            }
            std::string_view na = a.substr(i, ie - i);
            std::string_view nb = b.substr(j, je - j);
            na.remove_prefix(std::min(na.find_first_not_of('0'), na.size()));
            nb.remove_prefix(std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size()) {
                return na.size() < nb.size();
            }
            if (na != nb) {
                return na < nb;
            }
            i = ie;
            j = je;
            continue;
        }
        if (a[i] != b[j]) {
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        }
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

}  // namespace velmo::query
