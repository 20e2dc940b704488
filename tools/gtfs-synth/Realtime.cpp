#include "tools/gtfs-synth/Realtime.h"

#include "tools/gtfs-synth/City.h"
#include "tools/gtfs-synth/Random.h"
#include "tools/gtfs-synth/Timetable.h"

#include "server/gtfs/ServiceDay.h"
#include "server/realtime/gtfs-realtime.pb.h"

#include <date/tz.h>

#include <algorithm>
#include <cmath>
#include <optional>

namespace velmo::synth {

namespace {

namespace pb = velmo::realtime::pb;
using namespace std::chrono_literals;
using std::chrono::sys_days;
using std::chrono::sys_seconds;
using std::chrono::year_month_day;

constexpr double kMetresPerDegree = 111320.0;

bool holiday(year_month_day d) {
    return std::any_of(std::begin(kHolidays), std::end(kHolidays), [&](const auto& h) {
        return static_cast<unsigned>(d.month()) == h.first && static_cast<unsigned>(d.day()) == h.second;
    });
}

// Whether a service runs on a day, as calendar.txt and calendar_dates.txt say.
bool runsOn(Service service, year_month_day d) {
    const unsigned weekday = std::chrono::weekday{sys_days{d}}.iso_encoding();
    if (service == Night)
        return true;
    const bool weekend = weekday > 5 || holiday(d);
    return service == Weekend ? weekend : !weekend;
}

std::uint64_t hash(const std::string& text, std::uint64_t seed) {
    std::uint64_t h = 1469598103934665603ULL ^ seed;
    for (const char c : text)
        h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
    return Random(h).next();
}

void text(pb::TranslatedString* s, const std::string& hu, const std::string& en) {
    auto* t = s->add_translation();
    t->set_text(hu);
    t->set_language("hu");
    t = s->add_translation();
    t->set_text(en);
    t->set_language("en");
}

}  // namespace

std::string generateRealtime(const Options& options, sys_seconds at, RealtimeSummary* summary) {
    const City city = buildCity(options);  // checks the options
    RealtimeSummary local;
    RealtimeSummary& sum = summary ? *summary : local;
    const auto* zone = date::locate_zone("Europe/Budapest");
    const double lonScale = kMetresPerDegree * std::cos(options.centreLat * 3.14159265358979 / 180.0);
    const sys_days first{options.startDate};
    const sys_days last = first + std::chrono::days{options.days - 1};
    const auto today = std::chrono::floor<std::chrono::days>(zone->to_local(at));

    pb::FeedMessage message;
    message.mutable_header()->set_gtfs_realtime_version("2.0");
    message.mutable_header()->set_timestamp(static_cast<std::uint64_t>(at.time_since_epoch().count()));
    bool cancelled = false;
    bool skipped = false;
    const Line* alerted = nullptr;
    // The central stop: where the demo's window stands.
    int central = 0;
    for (std::size_t i = 1; i < city.stops.size(); ++i)
        if (std::hypot(city.stops[i].at.x, city.stops[i].at.y) <
            std::hypot(city.stops[static_cast<std::size_t>(central)].at.x,
                       city.stops[static_cast<std::size_t>(central)].at.y))
            central = static_cast<int>(i);
    // A run's call at the central stop, when it boards there between 3 and 30 minutes from now.
    const auto centralCall = [&](const std::vector<int>& stops, const std::vector<int>& seconds, const Run& run,
                                 sys_seconds zero) -> std::optional<std::size_t> {
        for (std::size_t k = 0; k + 1 < stops.size(); ++k) {
            const sys_seconds t = zero + std::chrono::seconds(stopTimeSeconds(run, seconds[k]));
            if (stops[k] == central && t >= at + 3min && t <= at + 30min)
                return k;
        }
        return std::nullopt;
    };
    std::optional<std::pair<const Line*, int>> extra;  // the line and direction of the added run

    // Yesterday's service day too: its night runs pass midnight.
    for (int back = 1; back >= 0; --back) {
        const date::local_days localDay = today - date::days(back);
        const sys_days day{localDay.time_since_epoch()};
        if (day < first || day > last)
            continue;
        const year_month_day ymd{day};
        const sys_seconds zero = gtfs::serviceDayZero(zone, localDay);
        const std::string startDate = gtfsDate(ymd);
        for (const Line& line : city.lines) {
            forEachRun(line, [&](const Run& run) {
                if (run.window || !runsOn(run.service, ymd))
                    return;  // frequency templates carry no per-run updates
                const auto& stops = line.stops[static_cast<std::size_t>(run.direction)];
                const auto& seconds = line.runSeconds[static_cast<std::size_t>(run.direction)];
                const sys_seconds start = zero + std::chrono::seconds(stopTimeSeconds(run, seconds.front()));
                const sys_seconds end = zero + std::chrono::seconds(stopTimeSeconds(run, seconds.back()));
                if (start > at + 60min || end < at)
                    return;
                const std::string id = tripId(line, run);
                const std::uint64_t h = hash(id + "@" + startDate, options.seed);
                auto* entity = message.add_entity();
                entity->set_id("tu-" + id + "-" + startDate);
                auto* update = entity->mutable_trip_update();
                auto* trip = update->mutable_trip();
                trip->set_trip_id(id);
                trip->set_route_id(line.id);
                trip->set_start_date(startDate);
                ++sum.tripUpdates;
                const auto call = centralCall(stops, seconds, run, zero);
                if (call && !extra)
                    extra.emplace(&line, run.direction);
                if (!cancelled && call) {
                    // One run that will not come.
                    trip->set_schedule_relationship(pb::TripDescriptor::CANCELED);
                    cancelled = true;
                    ++sum.cancelled;
                    return;
                }
                if (!alerted && line.mode == Mode::Bus)
                    alerted = &line;
                // Four in ten run late by one to eight minutes, the rest on time.
                const int delay = h % 10 < 4 ? static_cast<int>(60 * (1 + (h >> 8) % 8)) : 0;
                sum.delayed += delay > 0 ? 1 : 0;
                auto* stu = update->add_stop_time_update();
                stu->set_stop_sequence(1);
                stu->mutable_departure()->set_delay(delay);
                if (!skipped && call && *call > 0) {
                    // And one that passes the central stop without stopping.
                    auto* skip = update->add_stop_time_update();
                    skip->set_stop_sequence(static_cast<std::uint32_t>(*call + 1));
                    skip->set_schedule_relationship(pb::TripUpdate::StopTimeUpdate::SKIPPED);
                    skipped = true;
                    ++sum.skipped;
                }
                update->set_timestamp(static_cast<std::uint64_t>(at.time_since_epoch().count()));

                // Where the vehicle is: between the stops it left and will reach next.
                const sys_seconds t = at - std::chrono::seconds(delay);
                if (t < start || t > end)
                    return;
                std::size_t k = 0;
                while (k + 1 < stops.size() && zero + std::chrono::seconds(stopTimeSeconds(run, seconds[k + 1])) <= t)
                    ++k;
                const std::size_t next = std::min(k + 1, stops.size() - 1);
                const Point a = city.stops[static_cast<std::size_t>(stops[k])].at;
                const Point b = city.stops[static_cast<std::size_t>(stops[next])].at;
                const double ta = static_cast<double>(stopTimeSeconds(run, seconds[k]));
                const double tb = static_cast<double>(stopTimeSeconds(run, seconds[next]));
                const double now = static_cast<double>((t - zero).count());
                const double f = tb > ta ? std::clamp((now - ta) / (tb - ta), 0.0, 1.0) : 0.0;
                const Point p{a.x + (b.x - a.x) * f, a.y + (b.y - a.y) * f};
                auto* v = message.add_entity();
                v->set_id("vp-" + id + "-" + startDate);
                auto* vp = v->mutable_vehicle();
                *vp->mutable_trip() = *trip;
                vp->mutable_position()->set_latitude(static_cast<float>(options.centreLat + p.y / kMetresPerDegree));
                vp->mutable_position()->set_longitude(static_cast<float>(options.centreLon + p.x / lonScale));
                vp->mutable_position()->set_bearing(static_cast<float>(
                    std::fmod(std::atan2(b.x - a.x, b.y - a.y) * 180 / 3.14159265358979 + 360, 360)));
                vp->mutable_position()->set_speed(f > 0 && f < 1 ? 8.0f : 0.0f);
                vp->set_timestamp(static_cast<std::uint64_t>(at.time_since_epoch().count()));
                vp->set_stop_id(city.stops[static_cast<std::size_t>(stops[f >= 1 || f == 0 ? k : next])].id);
                vp->set_current_status(f > 0 && f < 1 ? pb::VehiclePosition::IN_TRANSIT_TO
                                                      : pb::VehiclePosition::STOPPED_AT);
                vp->set_current_stop_sequence(static_cast<std::uint32_t>((f > 0 && f < 1 ? next : k) + 1));
                vp->mutable_vehicle()->set_id(line.id + "-" + std::to_string(h % 900 + 100));
                vp->mutable_vehicle()->set_label(line.shortName + "/" + std::to_string(h % 900 + 100));
                ++sum.vehicles;
            });
        }
    }
    if (extra) {
        // An extra run of a line through the centre, reaching the central stop in 7 minutes.
        const Line& line = *extra->first;
        const auto& stops = line.stops[static_cast<std::size_t>(extra->second)];
        const auto& seconds = line.runSeconds[static_cast<std::size_t>(extra->second)];
        const auto k = static_cast<std::size_t>(std::find(stops.begin(), stops.end(), central) - stops.begin());
        const sys_seconds base = at + 7min - std::chrono::seconds(seconds[k] - seconds.front());
        const std::string day = gtfsDate(year_month_day{sys_days{today.time_since_epoch()}});
        auto* e = message.add_entity();
        e->set_id("tu-" + line.id + "-extra-" + day);
        auto* update = e->mutable_trip_update();
        auto* trip = update->mutable_trip();
        trip->set_trip_id(line.id + "-extra-" + day);
        trip->set_route_id(line.id);
        trip->set_direction_id(static_cast<std::uint32_t>(extra->second));
        trip->set_start_date(day);
        trip->set_schedule_relationship(pb::TripDescriptor::ADDED);
        for (std::size_t i = 0; i < stops.size(); ++i) {
            const auto t = static_cast<std::int64_t>(
                (base + std::chrono::seconds(seconds[i] - seconds.front())).time_since_epoch().count());
            auto* stu = update->add_stop_time_update();
            stu->set_stop_id(city.stops[static_cast<std::size_t>(stops[i])].id);
            stu->mutable_arrival()->set_time(t);
            stu->mutable_departure()->set_time(t);
        }
        ++sum.tripUpdates;
        ++sum.added;
    }
    if (alerted) {
        auto* e = message.add_entity();
        e->set_id("alert-" + alerted->id);
        auto* a = e->mutable_alert();
        auto* period = a->add_active_period();
        period->set_start(static_cast<std::uint64_t>((at - 1h).time_since_epoch().count()));
        period->set_end(static_cast<std::uint64_t>((at + 3h).time_since_epoch().count()));
        a->add_informed_entity()->set_route_id(alerted->id);
        a->set_cause(pb::Alert::CONSTRUCTION);
        a->set_effect(pb::Alert::DETOUR);
        text(a->mutable_header_text(), "A " + alerted->shortName + " vonal útfelújítás miatt terelt útvonalon jár",
             "Line " + alerted->shortName + " is diverted because of roadworks");
        ++sum.alerts;
    }
    return message.SerializeAsString();
}

}  // namespace velmo::synth
