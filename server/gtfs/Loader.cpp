#include "server/gtfs/Loader.h"

#include "platform/text/SafeText.h"
#include "server/gtfs/Csv.h"

#include <date/tz.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace velmo::gtfs {

namespace {

template <class T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    const auto* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        return std::nullopt;
    }
    return value;
}

// Warnings of one kind during one load: the first ten are logged, the rest only counted and
// summed up once, so that a badly broken feed cannot flood the log. Every argument comes from
// the feed and is escaped before it is logged.
class WarningCap {
public:
    explicit WarningCap(std::string kind) : kind_(std::move(kind)) {}
    ~WarningCap() {
        if (count_ > kListed) {
            spdlog::warn("[gtfs] {}: {} in all, {} not listed", kind_, count_, count_ - kListed);
        }
    }
    WarningCap(const WarningCap&) = delete;
    WarningCap& operator=(const WarningCap&) = delete;

    template <class... Args>
    void warn(std::string_view format, const Args&... args) {
        if (++count_ <= kListed) {
            spdlog::warn("[gtfs] {}", fmt::format(fmt::runtime(format), escapeControls(fmt::format("{}", args))...));
        }
    }

private:
    static constexpr std::size_t kListed = 10;
    std::string kind_;
    std::size_t count_ = 0;
};

// One file of the feed being read, with the context for messages about it.
class Table {
public:
    Table(std::string name, const std::string& content) : name_(std::move(name)), csv_(content) {}

    // Index of a column the file must have.
    int required(std::string_view column) const {
        const int c = csv_.column(column);
        if (c < 0) {
            throw FeedError(name_ + ": missing required column " + std::string(column));
        }
        return c;
    }
    int optional(std::string_view column) const { return csv_.column(column); }
    bool next() { return csv_.next(); }
    std::string_view operator[](int c) const { return csv_.field(c); }
    std::size_t line() const { return csv_.line(); }

    void bad(std::string_view reason) { skipped_.warn("{}:{}: {}, row skipped", name_, csv_.line(), reason); }
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

private:
    std::string name_;
    CsvReader csv_;
    WarningCap skipped_{name_ + ": bad rows"};
};

std::optional<Table> open(const Directory& dir, const std::string& name, bool required, std::string& storage) {
    std::optional<std::string> content;
    try {
        content = dir.read(name);
    } catch (const std::exception& e) {
        throw FeedError(name + ": " + e.what());
    }
    if (!content) {
        if (required) {
            throw FeedError("required file " + name + " is missing");
        }
        return std::nullopt;
    }
    storage = std::move(*content);
    return std::optional<Table>(std::in_place, name, storage);
}

void loadAgencies(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "agency.txt", true, content);
    const int id = t->optional("agency_id");
    const int name = t->required("agency_name");
    const int url = t->optional("agency_url");
    const int tz = t->required("agency_timezone");
    while (t->next()) {
        Agency a{std::string((*t)[id]), std::string((*t)[name]), std::string((*t)[url]), std::string((*t)[tz])};
        if (a.timezone.empty()) {
            t->bad("empty agency_timezone");
            continue;
        }
        feed.agencies.push_back(std::move(a));
    }
    if (feed.agencies.empty()) {
        throw FeedError("agency.txt: no agency");
    }
    try {
        (void)date::locate_zone(feed.timezone());
    } catch (const std::exception&) {
        throw FeedError("agency.txt: unknown time zone " + feed.timezone());
    }
}

void loadStops(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "stops.txt", true, content);
    const int id = t->required("stop_id");
    const int name = t->optional("stop_name");
    const int lat = t->optional("stop_lat");
    const int lon = t->optional("stop_lon");
    const int type = t->optional("location_type");
    const int parent = t->optional("parent_station");
    std::vector<std::string> parents;
    while (t->next()) {
        Stop s;
        s.id = std::string((*t)[id]);
        s.name = std::string((*t)[name]);
        if (s.id.empty()) {
            t->bad("empty stop_id");
            continue;
        }
        if (feed.stopById.contains(s.id)) {
            t->bad("duplicate stop_id " + s.id);
            continue;
        }
        int kind = 0;
        if (!(*t)[type].empty()) {
            const auto k = parseNumber<int>((*t)[type]);
            if (!k || *k < 0 || *k > 4) {
                t->bad("bad location_type");
                continue;
            }
            kind = *k;
        }
        s.type = static_cast<LocationType>(kind);
        const auto la = parseNumber<double>((*t)[lat]);
        const auto lo = parseNumber<double>((*t)[lon]);
        const bool needsPosition = kind <= 2;
        if (la && lo && std::isfinite(*la) && std::isfinite(*lo) && std::abs(*la) <= 90 && std::abs(*lo) <= 180) {
            s.lat = *la;
            s.lon = *lo;
        } else if (needsPosition) {
            t->bad("missing or bad stop_lat/stop_lon");
            continue;
        } else {
            s.lat = s.lon = std::nan("");
        }
        feed.stopById.emplace(s.id, StopIdx(feed.stops.size()));
        feed.stops.push_back(std::move(s));
        parents.emplace_back((*t)[parent]);
    }
    WarningCap unknownParents("stops.txt: unknown parent_station");
    for (std::size_t i = 0; i < feed.stops.size(); ++i) {
        if (parents[i].empty()) {
            continue;
        }
        const auto it = feed.stopById.find(parents[i]);
        if (it == feed.stopById.end()) {
            unknownParents.warn("stops.txt: stop {} names unknown parent_station {}, ignored", feed.stops[i].id,
                                parents[i]);
            continue;
        }
        feed.stops[i].parent = it->second;
    }
}

void loadRoutes(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "routes.txt", true, content);
    const int id = t->required("route_id");
    const int agency = t->optional("agency_id");
    const int shortName = t->optional("route_short_name");
    const int longName = t->optional("route_long_name");
    const int type = t->required("route_type");
    while (t->next()) {
        Route r;
        r.id = std::string((*t)[id]);
        r.shortName = std::string((*t)[shortName]);
        r.longName = std::string((*t)[longName]);
        if (r.id.empty() || feed.routeById.contains(r.id)) {
            t->bad(r.id.empty() ? "empty route_id" : "duplicate route_id " + r.id);
            continue;
        }
        const auto k = parseNumber<int>((*t)[type]);
        if (!k) {
            t->bad("bad route_type");
            continue;
        }
        r.type = *k;
        r.agency = AgencyIdx(std::size_t{0});
        const std::string_view agencyId = (*t)[agency];
        for (std::size_t i = 0; i < feed.agencies.size(); ++i) {
            if (feed.agencies[i].id == agencyId) {
                r.agency = AgencyIdx(i);
            }
        }
        feed.routeById.emplace(r.id, RouteIdx(feed.routes.size()));
        feed.routes.push_back(std::move(r));
    }
}

ServiceIdx serviceIndex(Feed& feed, std::unordered_map<std::string, ServiceIdx>& byId, std::string_view id) {
    const auto [it, added] = byId.try_emplace(std::string(id), ServiceIdx(feed.serviceIds.size()));
    if (added) {
        feed.serviceIds.emplace_back(id);
        feed.calendar.resize(feed.serviceIds.size());
    }
    return it->second;
}

void loadCalendar(const Directory& dir, Feed& feed, std::unordered_map<std::string, ServiceIdx>& services) {
    std::string calendarContent;
    std::string datesContent;
    auto calendar = open(dir, "calendar.txt", false, calendarContent);
    auto dates = open(dir, "calendar_dates.txt", false, datesContent);
    if (!calendar && !dates) {
        throw FeedError("required file calendar.txt or calendar_dates.txt is missing");
    }
    if (calendar) {
        Table& t = *calendar;
        const int id = t.required("service_id");
        static constexpr const char* kDays[] = {"sunday",   "monday", "tuesday", "wednesday",
                                                "thursday", "friday", "saturday"};
        int day[7];
        for (int i = 0; i < 7; ++i) {
            day[i] = t.required(kDays[i]);
        }
        const int start = t.required("start_date");
        const int end = t.required("end_date");
        while (t.next()) {
            const auto from = parseDate(t[start]);
            const auto to = parseDate(t[end]);
            if (t[id].empty() || !from || !to) {
                t.bad("bad service_id, start_date or end_date");
                continue;
            }
            if (*to - *from > date::days(3660)) {
                t.bad("service runs over more than ten years");
                continue;
            }
            bool weekday[7];
            for (int i = 0; i < 7; ++i) {
                weekday[i] = t[day[i]] == "1";
            }
            const ServiceIdx s = serviceIndex(feed, services, t[id]);
            for (auto d = *from; d <= *to; d += date::days(1)) {
                if (weekday[date::weekday(d).c_encoding()]) {
                    feed.calendar.set(s, d, true);
                }
            }
        }
    }
    if (dates) {
        Table& t = *dates;
        const int id = t.required("service_id");
        const int when = t.required("date");
        const int type = t.required("exception_type");
        while (t.next()) {
            const auto d = parseDate(t[when]);
            if (t[id].empty() || !d || (t[type] != "1" && t[type] != "2")) {
                t.bad("bad service_id, date or exception_type");
                continue;
            }
            feed.calendar.set(serviceIndex(feed, services, t[id]), *d, t[type] == "1");
        }
    }
}

void loadTrips(const Directory& dir, Feed& feed, std::unordered_map<std::string, ServiceIdx>& services) {
    std::string content;
    auto t = open(dir, "trips.txt", true, content);
    const int route = t->required("route_id");
    const int service = t->required("service_id");
    const int id = t->required("trip_id");
    const int headsign = t->optional("trip_headsign");
    const int direction = t->optional("direction_id");
    while (t->next()) {
        Trip trip;
        trip.id = std::string((*t)[id]);
        if (trip.id.empty() || feed.tripById.contains(trip.id)) {
            t->bad(trip.id.empty() ? "empty trip_id" : "duplicate trip_id " + trip.id);
            continue;
        }
        const auto r = feed.routeById.find(std::string((*t)[route]));
        if (r == feed.routeById.end()) {
            t->bad("unknown route_id " + std::string((*t)[route]));
            continue;
        }
        trip.route = r->second;
        const auto s = services.find(std::string((*t)[service]));
        if (s == services.end()) {
            // A service without any day never runs; the trip cannot be shown.
            t->bad("service_id " + std::string((*t)[service]) + " has no calendar");
            continue;
        }
        trip.service = s->second;
        trip.headsign = std::string((*t)[headsign]);
        const std::string_view dir_ = (*t)[direction];
        if (dir_ == "1") {
            trip.direction = 1;
        } else if (!dir_.empty() && dir_ != "0") {
            t->bad("bad direction_id");
            continue;
        }
        feed.tripById.emplace(trip.id, TripIdx(feed.trips.size()));
        feed.trips.push_back(std::move(trip));
    }
}

struct RawStopTime {
    TripIdx trip;
    std::uint32_t sequence = 0;
    StopIdx stop;
    std::optional<Seconds> arrival;
    std::optional<Seconds> departure;
    std::uint32_t headsign = 0;
    std::uint8_t pickup = 0;
};

// Gives stops without times (non-timepoints) times spread evenly between the
// timed stops around them. A trip without a time at its first or last stop
// cannot be placed and is dropped.
bool interpolate(std::span<RawStopTime> times) {
    if (times.empty()) {
        return false;
    }
    for (auto& st : times) {
        if (st.arrival && !st.departure) {
            st.departure = st.arrival;
        } else if (st.departure && !st.arrival) {
            st.arrival = st.departure;
        }
    }
    if (!times.front().departure || !times.back().arrival) {
        return false;
    }
    std::size_t previous = 0;
    for (std::size_t i = 1; i < times.size(); ++i) {
        if (!times[i].arrival) {
            continue;
        }
        const std::size_t gap = i - previous;
        const auto from = times[previous].departure->count();
        const auto to = times[i].arrival->count();
        for (std::size_t k = previous + 1; k < i; ++k) {
            const auto t = from + static_cast<std::int32_t>(static_cast<std::int64_t>(to - from) *
                                                            static_cast<std::int64_t>(k - previous) /
                                                            static_cast<std::int64_t>(gap));
            times[k].arrival = times[k].departure = Seconds(t);
        }
        previous = i;
    }
    return true;
}

void loadStopTimes(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "stop_times.txt", true, content);
    const int trip = t->required("trip_id");
    const int arrival = t->optional("arrival_time");
    const int departure = t->optional("departure_time");
    const int stop = t->required("stop_id");
    const int sequence = t->required("stop_sequence");
    const int headsign = t->optional("stop_headsign");
    const int pickup = t->optional("pickup_type");
    if (arrival < 0 && departure < 0) {
        throw FeedError("stop_times.txt: missing required column departure_time");
    }
    std::unordered_map<std::string, std::uint32_t> headsigns;
    std::vector<RawStopTime> raw;
    raw.reserve(content.size() / 48);
    while (t->next()) {
        RawStopTime st;
        const auto tr = feed.tripById.find(std::string((*t)[trip]));
        if (tr == feed.tripById.end()) {
            t->bad("unknown trip_id " + std::string((*t)[trip]));
            continue;
        }
        st.trip = tr->second;
        const auto sp = feed.stopById.find(std::string((*t)[stop]));
        if (sp == feed.stopById.end()) {
            t->bad("unknown stop_id " + std::string((*t)[stop]));
            continue;
        }
        st.stop = sp->second;
        const auto seq = parseNumber<std::uint32_t>((*t)[sequence]);
        if (!seq) {
            t->bad("bad stop_sequence");
            continue;
        }
        st.sequence = *seq;
        const std::string_view a = (*t)[arrival];
        const std::string_view d = (*t)[departure];
        st.arrival = parseTime(a);
        st.departure = parseTime(d);
        if ((!a.empty() && !st.arrival) || (!d.empty() && !st.departure)) {
            t->bad("bad arrival_time or departure_time");
            continue;
        }
        if (st.arrival && st.departure && *st.departure < *st.arrival) {
            t->bad("departure_time before arrival_time");
            continue;
        }
        const std::string_view p = (*t)[pickup];
        if (p == "1") {
            st.pickup = 1;
        } else if (!p.empty() && p != "0" && p != "2" && p != "3") {
            t->bad("bad pickup_type");
            continue;
        }
        const std::string_view h = (*t)[headsign];
        if (!h.empty()) {
            const auto [it, added] =
                headsigns.try_emplace(std::string(h), static_cast<std::uint32_t>(feed.stopHeadsigns.size()));
            if (added) {
                feed.stopHeadsigns.emplace_back(h);
            }
            st.headsign = it->second;
        }
        raw.push_back(st);
    }
    std::stable_sort(raw.begin(), raw.end(), [](const RawStopTime& x, const RawStopTime& y) {
        return x.trip != y.trip ? x.trip < y.trip : x.sequence < y.sequence;
    });

    feed.stopTimes.reserve(raw.size());
    std::vector<Trip> kept;
    std::unordered_map<std::string, TripIdx> keptById;
    std::size_t begin = 0;
    WarningCap skippedTrips("stop_times.txt: skipped trips");
    for (std::size_t tripNo = 0; tripNo < feed.trips.size(); ++tripNo) {
        std::size_t end = begin;
        while (end < raw.size() && raw[end].trip.get() == tripNo) {
            ++end;
        }
        std::span<RawStopTime> times(raw.data() + begin, end - begin);
        begin = end;
        Trip& current = feed.trips[tripNo];
        bool ordered = interpolate(times);
        for (std::size_t i = 1; ordered && i < times.size(); ++i) {
            if (times[i].sequence == times[i - 1].sequence || *times[i].arrival < *times[i - 1].departure) {
                ordered = false;
            }
        }
        if (times.size() < 2 || !ordered) {
            skippedTrips.warn("stop_times.txt: trip {} {}, trip skipped", current.id,
                              times.size() < 2 ? "has fewer than two stops"
                                               : "has no time at an end stop, a repeated "
                                                 "stop_sequence or times going backwards");
            continue;
        }
        current.firstStopTime = static_cast<std::uint32_t>(feed.stopTimes.size());
        current.stopTimeCount = static_cast<std::uint32_t>(times.size());
        for (const auto& st : times) {
            feed.stopTimes.push_back({st.stop, *st.arrival, *st.departure, st.headsign, st.pickup, st.sequence});
        }
        keptById.emplace(current.id, TripIdx(kept.size()));
        kept.push_back(std::move(current));
    }
    feed.trips = std::move(kept);
    feed.tripById = std::move(keptById);
}

void loadFrequencies(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "frequencies.txt", false, content);
    if (!t) {
        return;
    }
    const int trip = t->required("trip_id");
    const int start = t->required("start_time");
    const int end = t->required("end_time");
    const int headway = t->required("headway_secs");
    while (t->next()) {
        const auto tr = feed.tripById.find(std::string((*t)[trip]));
        if (tr == feed.tripById.end()) {
            t->bad("unknown or skipped trip_id " + std::string((*t)[trip]));
            continue;
        }
        const auto from = parseTime((*t)[start]);
        const auto to = parseTime((*t)[end]);
        const auto step = parseNumber<std::int32_t>((*t)[headway]);
        if (!from || !to || *to < *from || !step || *step <= 0) {
            t->bad("bad start_time, end_time or headway_secs");
            continue;
        }
        feed.trips[tr->second.get()].frequencyBased = true;
        feed.frequencies.push_back({tr->second, *from, *to, Seconds(*step)});
    }
}

void loadFeedInfo(const Directory& dir, Feed& feed) {
    std::string content;
    auto t = open(dir, "feed_info.txt", false, content);
    if (!t) {
        return;
    }
    const int name = t->optional("feed_publisher_name");
    const int url = t->optional("feed_publisher_url");
    const int version = t->optional("feed_version");
    const int start = t->optional("feed_start_date");
    const int end = t->optional("feed_end_date");
    if (t->next()) {
        feed.info.publisherName = std::string((*t)[name]);
        feed.info.publisherUrl = std::string((*t)[url]);
        feed.info.version = std::string((*t)[version]);
        feed.info.startDate = parseDate((*t)[start]);
        feed.info.endDate = parseDate((*t)[end]);
    }
}

// Lists every boarding opportunity per stop, frequency-based trips expanded
// into their runs, sorted by time.
void indexDepartures(Feed& feed) {
    std::vector<std::uint32_t> counts(feed.stops.size() + 1, 0);
    std::vector<StopDeparture> all;
    all.reserve(feed.stopTimes.size());
    auto addRun = [&](TripIdx trip, Seconds shift) {
        const Trip& t = feed.trips[trip.get()];
        for (std::uint32_t i = 0; i + 1 < t.stopTimeCount; ++i) {
            const std::uint32_t at = t.firstStopTime + i;
            const StopTime& st = feed.stopTimes[at];
            if (st.pickupType == 1) {
                continue;
            }
            all.push_back({st.departure + shift, trip, at});
        }
    };
    for (std::size_t i = 0; i < feed.trips.size(); ++i) {
        if (!feed.trips[i].frequencyBased) {
            addRun(TripIdx(i), Seconds(0));
        }
    }
    for (const Frequency& f : feed.frequencies) {
        const Seconds first = feed.stopTimes[feed.trips[f.trip.get()].firstStopTime].departure;
        for (Seconds start = f.start; start < f.end; start += f.headway) {
            addRun(f.trip, start - first);
        }
    }
    for (const auto& d : all) {
        ++counts[feed.stopTimes[d.stopTime].stop.get() + 1];
    }
    for (std::size_t i = 1; i < counts.size(); ++i) {
        counts[i] += counts[i - 1];
    }
    feed.departureOffsets = counts;
    feed.departures.resize(all.size());
    for (const auto& d : all) {
        feed.departures[counts[feed.stopTimes[d.stopTime].stop.get()]++] = d;
    }
    for (std::size_t s = 0; s < feed.stops.size(); ++s) {
        std::sort(feed.departures.begin() + feed.departureOffsets[s],
                  feed.departures.begin() + feed.departureOffsets[s + 1],
                  [](const StopDeparture& x, const StopDeparture& y) {
                      return x.departure != y.departure ? x.departure < y.departure : x.trip < y.trip;
                  });
    }
}

}  // namespace

std::optional<Seconds> parseTime(std::string_view text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return std::nullopt;
    }
    text = text.substr(first, text.find_last_not_of(' ') - first + 1);
    const auto c1 = text.find(':');
    if (c1 == std::string_view::npos || c1 == 0 || c1 > 3) {
        return std::nullopt;
    }
    const auto c2 = text.find(':', c1 + 1);
    if (c2 != c1 + 3 || text.size() != c2 + 3) {
        return std::nullopt;
    }
    const auto h = parseNumber<int>(text.substr(0, c1));
    const auto m = parseNumber<int>(text.substr(c1 + 1, 2));
    const auto s = parseNumber<int>(text.substr(c2 + 1, 2));
    if (!h || !m || !s || *h < 0 || *m > 59 || *s > 59 || *m < 0 || *s < 0) {
        return std::nullopt;
    }
    return Seconds(*h * 3600 + *m * 60 + *s);
}

std::optional<date::sys_days> parseDate(std::string_view text) {
    if (text.size() != 8) {
        return std::nullopt;
    }
    const auto y = parseNumber<int>(text.substr(0, 4));
    const auto m = parseNumber<unsigned>(text.substr(4, 2));
    const auto d = parseNumber<unsigned>(text.substr(6, 2));
    if (!y || !m || !d) {
        return std::nullopt;
    }
    const date::year_month_day ymd{date::year(*y), date::month(*m), date::day(*d)};
    if (!ymd.ok()) {
        return std::nullopt;
    }
    return date::sys_days(ymd);
}

std::shared_ptr<const Feed> loadFeed(const Directory& dir) {
    auto feed = std::make_shared<Feed>();
    std::unordered_map<std::string, ServiceIdx> services;
    loadAgencies(dir, *feed);
    loadStops(dir, *feed);
    loadRoutes(dir, *feed);
    loadCalendar(dir, *feed, services);
    loadTrips(dir, *feed, services);
    loadStopTimes(dir, *feed);
    loadFrequencies(dir, *feed);
    loadFeedInfo(dir, *feed);
    if (feed->stops.empty()) {
        throw FeedError("stops.txt: no usable stop");
    }
    if (feed->trips.empty()) {
        throw FeedError("no usable trip: trips.txt and stop_times.txt give no trip with times");
    }
    const bool runs = std::any_of(feed->trips.begin(), feed->trips.end(),
                                  [&](const Trip& t) { return feed->calendar.runs(t.service); });
    if (!runs) {
        throw FeedError("no usable service: calendar.txt and calendar_dates.txt give no running day");
    }
    indexDepartures(*feed);
    return feed;
}

}  // namespace velmo::gtfs
