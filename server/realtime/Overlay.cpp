#include "server/realtime/Overlay.h"

#include "server/gtfs/Loader.h"
#include "server/gtfs/ServiceDay.h"
#include "server/realtime/gtfs-realtime.pb.h"

#include <algorithm>
#include <cmath>
#include <unordered_set>

namespace velmo::realtime {

namespace {

using namespace std::chrono_literals;
using gtfs::serviceDayZero;
using StopTimeUpdate = pb::TripUpdate::StopTimeUpdate;

// The text in Hungarian when given, else the untranslated one (no language: the feed's own),
// else the first.
std::string pickText(const pb::TranslatedString& s) {
    const auto hungarian = [](const std::string& lang) {
        return lang == "hu" || lang.starts_with("hu-") || lang.starts_with("hu_");
    };
    const pb::TranslatedString::Translation* untranslated = nullptr;
    const pb::TranslatedString::Translation* first = nullptr;
    for (const auto& t : s.translation()) {
        if (t.text().empty()) {
            continue;
        }
        if (hungarian(t.language())) {
            return t.text();
        }
        if (untranslated == nullptr && t.language().empty()) {
            untranslated = &t;
        }
        if (first == nullptr) {
            first = &t;
        }
    }
    return untranslated != nullptr ? untranslated->text() : first != nullptr ? first->text() : std::string();
}

class Builder {
public:
    // A view of one feed of a merged city (gtfs::liveView) has its sources' ids read as
    // "<key>:<id>" in the merged feed, and the overlay built against that.
    Builder(std::shared_ptr<const gtfs::Feed> feed, const date::time_zone* zone, TimePoint now, BuildStats& stats)
        : whole_(feed->viewOf ? feed->viewOf : feed),
          feed_(*whole_),
          prefix_(feed->viewOf ? feed->viewKey + ":" : ""),
          zone_(zone),
          now_(now),
          stats_(stats) {
        overlay_->feed = whole_;
        today_ = date::floor<date::days>(zone_->to_local(now_));
    }

    void add(const pb::FeedMessage& message, TimePoint stamp) {
        for (const auto& entity : message.entity()) {
            if (entity.is_deleted()) {
                continue;
            }
            if (entity.has_trip_update()) {
                tripUpdate(entity.trip_update());
            }
            if (entity.has_alert()) {
                alert(entity.alert());
            }
        }
        // After the trip updates, so that a vehicle of an added trip finds its trip.
        for (const auto& entity : message.entity()) {
            if (!entity.is_deleted() && entity.has_vehicle()) {
                vehicle(entity.vehicle(), stamp);
            }
        }
    }

    std::shared_ptr<Overlay> finish() {
        for (std::uint32_t t = 0; t < overlay_->added.size(); ++t) {
            const auto& calls = overlay_->added[t].calls;
            for (std::uint32_t c = 0; c < calls.size(); ++c) {
                overlay_->addedAt[calls[c].stop.value].emplace_back(t, c);
            }
        }
        return std::move(overlay_);
    }

private:
    // An id of the source as the city's feed spells it.
    std::string cityId(const std::string& id) const { return id.empty() ? id : prefix_ + id; }
    // A stop id of the source as the city's feed spells it: a stop shared with another feed has
    // that feed's id.
    std::string cityStopId(const std::string& id) const {
        if (prefix_.empty() || id.empty()) {
            return id;
        }
        const auto it = feed_.stopById.find(prefix_ + id);
        return it == feed_.stopById.end() ? prefix_ + id : feed_.stop(it->second).id;
    }

    // The service day of a run: start_date when given, else the day on which
    // the trip's run lies nearest to now.
    std::optional<date::sys_days> serviceDay(const pb::TripDescriptor& d, gtfs::TripIdx index) const {
        const gtfs::Trip& trip = feed_.trip(index);
        if (d.has_start_date()) {
            return gtfs::parseDate(d.start_date());
        }
        const auto times = feed_.stopTimesOf(index);
        std::optional<date::sys_days> best;
        std::int64_t bestDistance = 0;
        for (int offset = -2; offset <= 1; ++offset) {
            const date::local_days local = today_ + date::days(offset);
            const date::sys_days day{local.time_since_epoch()};
            if (!feed_.calendar.active(trip.service, day)) {
                continue;
            }
            const TimePoint zero = serviceDayZero(zone_, local);
            const TimePoint start = zero + times.front().departure;
            const TimePoint end = zero + times.back().arrival;
            const std::int64_t distance = now_ < start ? (start - now_).count() : now_ > end ? (now_ - end).count() : 0;
            if (!best || distance < bestDistance) {
                best = day;
                bestDistance = distance;
            }
        }
        return best;
    }

    // The index within the trip of the stop an update names, searching from `from`.
    std::optional<std::size_t> stopIndex(std::span<const gtfs::StopTime> times, const StopTimeUpdate& u,
                                         std::size_t from) const {
        if (u.has_stop_sequence()) {
            const auto it = std::lower_bound(times.begin(), times.end(), u.stop_sequence(),
                                             [](const gtfs::StopTime& st, std::uint32_t s) { return st.sequence < s; });
            if (it != times.end() && it->sequence == u.stop_sequence()) {
                return static_cast<std::size_t>(it - times.begin());
            }
            return std::nullopt;
        }
        if (!u.has_stop_id()) {
            return std::nullopt;
        }
        const auto stop = feed_.stopById.find(cityId(u.stop_id()));
        if (stop == feed_.stopById.end()) {
            return std::nullopt;
        }
        for (std::size_t i = from; i < times.size(); ++i) {
            if (times[i].stop == stop->second) {
                return i;
            }
        }
        return std::nullopt;
    }

    static std::int64_t predict(const pb::TripUpdate::StopTimeEvent& e, std::int64_t scheduled) {
        if (e.has_time()) {
            return e.time();
        }
        if (e.has_delay()) {
            return scheduled + e.delay();
        }
        return kNoPrediction;
    }

    // The run of a frequency-based trip a descriptor names: its start_date and a start_time of
    // one of the template's runs (within half a headway, for lines whose runs are not exact).
    std::optional<std::pair<date::sys_days, gtfs::Seconds>> frequencyRun(const pb::TripDescriptor& d,
                                                                         gtfs::TripIdx index) const {
        const auto day = d.has_start_date() ? gtfs::parseDate(d.start_date()) : std::nullopt;
        const auto start = d.has_start_time() ? gtfs::parseTime(d.start_time()) : std::nullopt;
        if (!day || !start || !feed_.calendar.active(feed_.trip(index).service, *day)) {
            return std::nullopt;
        }
        for (const auto& f : feed_.frequencies) {
            if (f.trip != index || f.headway.count() <= 0 || *start < f.start - f.headway / 2 ||
                *start >= f.end + f.headway / 2) {
                continue;
            }
            const auto steps = std::max(0, (*start - f.start + f.headway / 2) / f.headway);
            const gtfs::Seconds run = f.start + f.headway * steps;
            if (run < f.end) {
                return std::pair(*day, run);
            }
        }
        return std::nullopt;
    }

    void tripUpdate(const pb::TripUpdate& update) {
        ++stats_.tripUpdates;
        const auto& d = update.trip();
        const auto found = d.has_trip_id() ? feed_.tripById.find(cityId(d.trip_id())) : feed_.tripById.end();
        if (found == feed_.tripById.end()) {
            if (d.schedule_relationship() != pb::TripDescriptor::ADDED || !addTrip(update)) {
                ++stats_.unknownTrips;
            }
            return;
        }
        const auto times = feed_.stopTimesOf(found->second);
        RunUpdate* run = nullptr;
        date::sys_days day{};
        gtfs::Seconds shift{0};  // of this run against the trip's stop times
        if (feed_.trip(found->second).frequencyBased) {
            const auto which = frequencyRun(d, found->second);
            if (!which) {
                ++stats_.unknownTrips;
                return;
            }
            day = which->first;
            shift = which->second - times.front().departure;
            run = &overlay_->frequencyRuns[Overlay::key(found->second, day, which->second)];
            ++stats_.frequencyRuns;
        } else {
            const auto serviceDate = serviceDay(d, found->second);
            if (!serviceDate) {
                ++stats_.unknownTrips;
                return;
            }
            day = *serviceDate;
            run = &overlay_->runs[Overlay::key(found->second, day)];
        }
        ++stats_.matchedTrips;
        *run = RunUpdate{};
        if (d.schedule_relationship() == pb::TripDescriptor::CANCELED ||
            d.schedule_relationship() == pb::TripDescriptor::DELETED) {
            run->canceled = true;
            ++stats_.canceledTrips;
            return;
        }
        const TimePoint zero = serviceDayZero(zone_, date::local_days(day.time_since_epoch()));
        predictRun(*run, update, times, (zero + shift).time_since_epoch().count());
    }

    // Fills a run's predictions from an update; `z` is the Unix time its stop times count from.
    void predictRun(RunUpdate& run, const pb::TripUpdate& update, std::span<const gtfs::StopTime> times,
                    std::int64_t z) {
        const std::size_t n = times.size();
        run.arrival.assign(n, kNoPrediction);
        run.departure.assign(n, kNoPrediction);
        run.skipped.assign(n, 0);

        // Updates in trip order, each at its stop's index.
        std::vector<std::pair<std::size_t, const StopTimeUpdate*>> updates;
        std::size_t from = 0;
        for (const auto& u : update.stop_time_update()) {
            auto i = stopIndex(times, u, from);
            if (!i && !u.has_stop_sequence()) {
                i = stopIndex(times, u, 0);  // a stop listed out of order
            }
            if (!i) {
                ++stats_.unknownStops;
                continue;
            }
            from = *i + 1;
            updates.emplace_back(*i, &u);
        }
        std::stable_sort(updates.begin(), updates.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });

        // A trip-wide delay holds from the first stop when no stop says otherwise.
        bool delayed = update.has_delay() && updates.empty();
        std::int64_t delay = delayed ? update.delay() : 0;
        std::size_t next = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::int64_t schedArr = z + times[i].arrival.count();
            const std::int64_t schedDep = z + times[i].departure.count();
            bool handled = false;
            while (next < updates.size() && updates[next].first == i) {
                const StopTimeUpdate& u = *updates[next++].second;
                handled = true;
                if (u.schedule_relationship() == StopTimeUpdate::SKIPPED) {
                    stats_.skippedStops += run.skipped[i] == 0 ? 1 : 0;
                    run.skipped[i] = 1;
                    continue;
                }
                if (u.schedule_relationship() == StopTimeUpdate::NO_DATA) {
                    delayed = false;
                    continue;
                }
                std::int64_t arr = u.has_arrival() ? predict(u.arrival(), schedArr) : kNoPrediction;
                std::int64_t dep = u.has_departure() ? predict(u.departure(), schedDep) : kNoPrediction;
                if (dep == kNoPrediction && arr != kNoPrediction) {
                    dep = std::max(schedDep + (arr - schedArr), arr);
                }
                if (arr == kNoPrediction && dep != kNoPrediction) {
                    arr = std::min(schedArr + (dep - schedDep), dep);
                }
                if (dep == kNoPrediction) {
                    // An update without times keeps the delay carried so far.
                    handled = false;
                    continue;
                }
                if (std::abs(dep - schedDep) > kMaxShift || std::abs(arr - schedArr) > kMaxShift) {
                    ++stats_.implausible;
                    continue;
                }
                run.arrival[i] = arr;
                run.departure[i] = dep;
                delay = dep - schedDep;
                delayed = true;
            }
            if (!handled && delayed && !run.skipped[i]) {
                run.arrival[i] = schedArr + delay;
                run.departure[i] = schedDep + delay;
            }
            if (run.departure[i] != kNoPrediction) {
                const std::int64_t shift = run.departure[i] - schedDep;
                overlay_->maxLate = std::max(overlay_->maxLate, shift);
                overlay_->maxEarly = std::max(overlay_->maxEarly, -shift);
            }
        }
    }

    // A trip the timetable lacks: its route must be known, and its stops are taken at their
    // absolute predicted times (an added trip has no timetable for a delay to apply to).
    bool addTrip(const pb::TripUpdate& update) {
        const auto& d = update.trip();
        const auto route = feed_.routeById.find(cityId(d.route_id()));
        if (!d.has_trip_id() || route == feed_.routeById.end()) {
            return false;
        }
        AddedTrip trip;
        trip.tripId = cityId(d.trip_id());
        trip.route = route->second;
        trip.direction = d.direction_id() == 1 ? 1 : 0;
        const std::int64_t now = now_.time_since_epoch().count();
        for (const auto& u : update.stop_time_update()) {
            if (u.schedule_relationship() == StopTimeUpdate::SKIPPED ||
                u.schedule_relationship() == StopTimeUpdate::NO_DATA) {
                continue;
            }
            const auto stop = feed_.stopById.find(cityStopId(u.stop_id()));
            std::int64_t arr = u.has_arrival() && u.arrival().has_time() ? u.arrival().time() : kNoPrediction;
            std::int64_t dep = u.has_departure() && u.departure().has_time() ? u.departure().time() : kNoPrediction;
            arr = arr == kNoPrediction ? dep : arr;
            dep = dep == kNoPrediction ? arr : dep;
            if (stop == feed_.stopById.end() || dep == kNoPrediction || std::abs(dep - now) > kMaxShift) {
                ++stats_.unknownStops;
                continue;
            }
            trip.calls.push_back({stop->second, arr, dep});
        }
        if (trip.calls.empty()) {
            return false;
        }
        const auto date = d.has_start_date() ? gtfs::parseDate(d.start_date()) : std::nullopt;
        trip.day =
            date ? *date
                 : date::sys_days{date::floor<date::days>(
                                      zone_->to_local(TimePoint(std::chrono::seconds(trip.calls.front().arrival))))
                                      .time_since_epoch()};
        addedIds_.insert(trip.tripId);
        overlay_->added.push_back(std::move(trip));
        ++stats_.matchedTrips;
        ++stats_.addedTrips;
        return true;
    }

    void vehicle(const pb::VehiclePosition& v, TimePoint stamp) {
        if (!v.has_trip() || !v.trip().has_trip_id() || !v.has_position()) {
            return;
        }
        const auto& p = v.position();
        const double lat = p.latitude();
        const double lon = p.longitude();
        if (!p.has_latitude() || !p.has_longitude() || !std::isfinite(lat) || !std::isfinite(lon) ||
            std::abs(lat) > 90 || std::abs(lon) > 180 ||
            (!feed_.tripById.contains(cityId(v.trip().trip_id())) && !addedIds_.contains(cityId(v.trip().trip_id())))) {
            return;
        }
        VehicleState s;
        s.lat = lat;
        s.lon = lon;
        if (p.has_bearing() && std::isfinite(p.bearing())) {
            s.bearing = p.bearing();
        }
        if (p.has_speed() && std::isfinite(p.speed())) {
            s.speed = p.speed();
        }
        s.timestamp = v.has_timestamp() && v.timestamp() <= static_cast<std::uint64_t>(now_.time_since_epoch().count())
                          ? static_cast<std::int64_t>(v.timestamp())
                          : stamp.time_since_epoch().count();
        s.label = v.vehicle().has_label() ? v.vehicle().label() : v.vehicle().id();
        s.currentStopId = cityStopId(v.stop_id());
        s.status = pb::VehiclePosition::VehicleStopStatus_Name(v.current_status());
        auto [it, added] = overlay_->vehicles.try_emplace(cityId(v.trip().trip_id()), s);
        if (added) {
            ++stats_.vehicles;
        } else if (s.timestamp >= it->second.timestamp) {
            it->second = std::move(s);
        }
    }

    void alert(const pb::Alert& a) {
        AlertInfo info;
        info.text = pickText(a.header_text());
        if (info.text.empty()) {
            info.text = pickText(a.description_text());
        }
        if (info.text.empty()) {
            return;
        }
        for (const auto& p : a.active_period()) {
            const auto start = p.has_start() ? std::min<std::uint64_t>(p.start(), INT64_MAX) : 0;
            const auto end = p.has_end() ? std::min<std::uint64_t>(p.end(), INT64_MAX) : INT64_MAX;
            info.periods.emplace_back(static_cast<std::int64_t>(start), static_cast<std::int64_t>(end));
        }
        for (const auto& e : a.informed_entity()) {
            Selector s;
            s.agencyId = cityId(e.agency_id());
            s.routeId = cityId(e.route_id());
            s.stopId = cityStopId(e.stop_id());
            if (e.has_trip()) {
                s.tripId = cityId(e.trip().trip_id());
                if (s.routeId.empty()) {
                    s.routeId = cityId(e.trip().route_id());
                }
            }
            if (e.has_route_type()) {
                s.routeType = e.route_type();
            }
            if (e.has_direction_id()) {
                s.directionId = static_cast<int>(e.direction_id());
            } else if (e.has_trip() && e.trip().has_direction_id()) {
                s.directionId = static_cast<int>(e.trip().direction_id());
            }
            if (!s.agencyId.empty() || !s.routeId.empty() || !s.tripId.empty() || !s.stopId.empty() || s.routeType) {
                info.selectors.push_back(std::move(s));
            }
        }
        if (!info.selectors.empty()) {
            ++stats_.alerts;
            overlay_->alerts.push_back(std::move(info));
        }
    }

    std::shared_ptr<const gtfs::Feed> whole_;
    const gtfs::Feed& feed_;
    std::string prefix_;
    const date::time_zone* zone_;
    TimePoint now_;
    BuildStats& stats_;
    date::local_days today_{};
    std::unordered_set<std::string> addedIds_;
    std::shared_ptr<Overlay> overlay_ = std::make_shared<Overlay>();
};

bool matches(const Selector& s, const Subject& x) {
    if (!s.agencyId.empty() && s.agencyId != x.agencyId) {
        return false;
    }
    if (!s.routeId.empty() && s.routeId != x.routeId) {
        return false;
    }
    if (!s.tripId.empty() && s.tripId != x.tripId) {
        return false;
    }
    if (!s.stopId.empty() && (x.stopId.empty() || (s.stopId != x.stopId && s.stopId != x.stationId))) {
        return false;
    }
    if (s.routeType && *s.routeType != x.routeType) {
        return false;
    }
    return !s.directionId || *s.directionId == x.directionId;
}

}  // namespace

const RunUpdate* Overlay::run(gtfs::TripIdx trip, date::sys_days day) const {
    const auto it = runs.find(key(trip, day));
    return it == runs.end() ? nullptr : &it->second;
}

const RunUpdate* Overlay::run(gtfs::TripIdx trip, date::sys_days day, gtfs::Seconds start) const {
    const auto it = frequencyRuns.find(key(trip, day, start));
    return it == frequencyRuns.end() ? nullptr : &it->second;
}

const AddedTrip* Overlay::addedTrip(std::string_view tripId) const {
    const auto it = std::find_if(added.begin(), added.end(), [&](const AddedTrip& t) { return t.tripId == tripId; });
    return it == added.end() ? nullptr : &*it;
}

const VehicleState* Overlay::vehicle(std::string_view tripId) const {
    const auto it = vehicles.find(std::string(tripId));
    return it == vehicles.end() ? nullptr : &it->second;
}

std::vector<std::string> Overlay::warnings(const Subject& subject, TimePoint now) const {
    std::vector<std::string> out;
    const std::int64_t t = now.time_since_epoch().count();
    for (const auto& a : alerts) {
        const bool active = a.periods.empty() || std::any_of(a.periods.begin(), a.periods.end(), [t](const auto& p) {
                                return p.first <= t && t <= p.second;
                            });
        if (active &&
            std::any_of(a.selectors.begin(), a.selectors.end(),
                        [&](const Selector& s) { return matches(s, subject); }) &&
            std::find(out.begin(), out.end(), a.text) == out.end()) {
            out.push_back(a.text);
        }
    }
    return out;
}

std::shared_ptr<const Overlay> buildOverlay(std::shared_ptr<const gtfs::Feed> feed, const date::time_zone* zone,
                                            std::span<const Input> inputs, TimePoint now, std::chrono::seconds maxAge,
                                            BuildStats* stats) {
    BuildStats local;
    BuildStats& s = stats != nullptr ? *stats : local;
    Builder builder(std::move(feed), zone, now, s);
    std::optional<TimePoint> expires;
    for (const auto& input : inputs) {
        if (!input.message || input.stamp + maxAge < now) {
            continue;
        }
        builder.add(*input.message, input.stamp);
        expires = std::min(expires.value_or(TimePoint::max()), input.stamp + maxAge);
    }
    auto overlay = builder.finish();
    overlay->expires = expires.value_or(now - 1s);
    return overlay;
}

struct Live::Combiner {
    std::mutex mutex;
    std::shared_ptr<Live> city;
    std::vector<std::shared_ptr<const Overlay>> latest;
};

void Live::publish(std::shared_ptr<const Overlay> overlay) {
    if (!combiner_) {
        retired_ = current_.exchange(std::move(overlay));
        return;
    }
    const std::lock_guard lock(combiner_->mutex);
    auto combined = std::make_shared<Overlay>();
    combined->feed = overlay->feed;
    std::optional<TimePoint> expires;
    combiner_->latest[slot_] = std::move(overlay);
    for (const auto& o : combiner_->latest) {
        if (!o || o->feed != combined->feed ||
            (o->runs.empty() && o->frequencyRuns.empty() && o->added.empty() && o->vehicles.empty() &&
             o->alerts.empty())) {
            continue;
        }
        combined->runs.insert(o->runs.begin(), o->runs.end());
        combined->frequencyRuns.insert(o->frequencyRuns.begin(), o->frequencyRuns.end());
        const auto base = static_cast<std::uint32_t>(combined->added.size());
        combined->added.insert(combined->added.end(), o->added.begin(), o->added.end());
        for (const auto& [stop, calls] : o->addedAt) {
            auto& to = combined->addedAt[stop];
            for (const auto& [trip, call] : calls) {
                to.emplace_back(base + trip, call);
            }
        }
        combined->vehicles.insert(o->vehicles.begin(), o->vehicles.end());
        combined->alerts.insert(combined->alerts.end(), o->alerts.begin(), o->alerts.end());
        combined->maxLate = std::max(combined->maxLate, o->maxLate);
        combined->maxEarly = std::max(combined->maxEarly, o->maxEarly);
        expires = std::min(expires.value_or(TimePoint::max()), o->expires);
    }
    combined->expires = expires.value_or(combiner_->latest[slot_]->expires);
    combiner_->city->publish(std::move(combined));
}

std::vector<std::shared_ptr<Live>> Live::feedSlots(std::shared_ptr<Live> city, std::size_t n) {
    auto combiner = std::make_shared<Combiner>();
    combiner->city = std::move(city);
    combiner->latest.resize(n);
    std::vector<std::shared_ptr<Live>> slots;
    for (std::size_t i = 0; i < n; ++i) {
        auto slot = std::make_shared<Live>();
        slot->combiner_ = combiner;
        slot->slot_ = i;
        slots.push_back(std::move(slot));
    }
    return slots;
}

}  // namespace velmo::realtime
