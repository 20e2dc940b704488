#include "tools/gtfs-synth/Synth.h"

#include "tools/gtfs-synth/City.h"
#include "tools/gtfs-synth/CsvWriter.h"
#include "tools/gtfs-synth/Timetable.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <stdexcept>

namespace velmo::synth {

namespace {

using std::chrono::sys_days;
using std::chrono::year_month_day;

constexpr const char* kAgencyId = "MKV";
constexpr const char* kAgencyName = "Mintavárosi Közlekedési Vállalat";
constexpr const char* kAgencyUrl = "https://www.mintavaros.example/kozlekedes";
constexpr double kMetresPerDegree = 111320.0;

struct Projection {
    double lat0;
    double lon0;
    double metresPerLonDegree;
    double lat(Point p) const { return lat0 + p.y / kMetresPerDegree; }
    double lon(Point p) const { return lon0 + p.x / metresPerLonDegree; }
};

}  // namespace

std::optional<std::string> checkOptions(const Options& options) {
    if (options.stops < kMinStops || options.stops > kMaxStops)
        return "the number of stops must be between " + std::to_string(kMinStops) + " and " + std::to_string(kMaxStops);
    if (options.days < 1 || options.days > kMaxDays)
        return "the number of days must be between 1 and " + std::to_string(kMaxDays);
    if (!options.startDate.ok() || options.startDate.year() < std::chrono::year{1900} ||
        options.startDate.year() > std::chrono::year{2999})
        return "the start date must be a calendar date between 1900 and 2999";
    if (!(std::fabs(options.centreLat) <= 80.0) || !(std::fabs(options.centreLon) <= 179.5))
        return "the centre must lie within latitude -80..80 and longitude -179.5..179.5";
    return std::nullopt;
}

const std::vector<std::string>& feedFileNames() {
    static const std::vector<std::string> names = {"agency.txt",     "stops.txt",          "routes.txt",
                                                   "calendar.txt",   "calendar_dates.txt", "trips.txt",
                                                   "stop_times.txt", "frequencies.txt",    "feed_info.txt"};
    return names;
}

Summary generateFeed(const Options& options, FeedSink& sink) {
    const City city = buildCity(options);  // checks the options
    Summary summary;
    const year_month_day endDate{sys_days{options.startDate} + std::chrono::days{options.days - 1}};
    const std::string startText = gtfsDate(options.startDate);
    const std::string endText = gtfsDate(endDate);
    const Projection projection{options.centreLat, options.centreLon,
                                kMetresPerDegree * std::cos(options.centreLat * 3.14159265358979 / 180.0)};

    {
        CsvWriter out(sink, "agency.txt", {"agency_id", "agency_name", "agency_url", "agency_timezone", "agency_lang"});
        out.text(kAgencyId).text(kAgencyName).text(kAgencyUrl).text("Europe/Budapest").text("hu").endRow();
        out.close();
    }
    {
        CsvWriter out(
            sink, "stops.txt",
            {"stop_id", "stop_name", "stop_lat", "stop_lon", "location_type", "parent_station", "platform_code"});
        for (const Station& station : city.stations) {
            out.text(station.id).text(station.name).degrees(projection.lat(station.at));
            out.degrees(projection.lon(station.at)).number(1).empty().empty().endRow();
        }
        for (const BoardingStop& stop : city.stops) {
            out.text(stop.id).text(stop.name).degrees(projection.lat(stop.at)).degrees(projection.lon(stop.at));
            out.number(0);
            if (stop.station >= 0)
                out.text(city.stations[static_cast<std::size_t>(stop.station)].id);
            else
                out.empty();
            out.text(stop.platformCode).endRow();
        }
        out.close();
        summary.stops = static_cast<std::int64_t>(city.stops.size());
        summary.stations = static_cast<std::int64_t>(city.stations.size());
    }
    {
        CsvWriter out(sink, "routes.txt",
                      {"route_id", "agency_id", "route_short_name", "route_long_name", "route_type", "route_color",
                       "route_text_color"});
        for (const Line& line : city.lines) {
            out.text(line.id).text(kAgencyId).text(line.shortName).text(line.longName).number(line.routeType);
            out.text(line.color).text(line.textColor).endRow();
        }
        out.close();
        summary.routes = static_cast<std::int64_t>(city.lines.size());
    }
    {
        CsvWriter out(sink, "calendar.txt",
                      {"service_id", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday", "sunday",
                       "start_date", "end_date"});
        for (const ServiceInfo& service : kServices) {
            out.text(service.id);
            for (bool runs : service.days)
                out.number(runs ? 1 : 0);
            out.text(startText).text(endText).endRow();
        }
        out.close();
    }
    {
        CsvWriter out(sink, "calendar_dates.txt", {"service_id", "date", "exception_type"});
        for (sys_days day{options.startDate}; day <= sys_days{endDate}; day += std::chrono::days{1}) {
            const year_month_day date{day};
            const bool holiday = std::any_of(std::begin(kHolidays), std::end(kHolidays), [&](const auto& h) {
                return static_cast<unsigned>(date.month()) == h.first && static_cast<unsigned>(date.day()) == h.second;
            });
            const unsigned weekday = std::chrono::weekday{day}.iso_encoding();  // 1 = Monday
            if (!holiday || weekday > 5)
                continue;
            const std::string text = gtfsDate(date);
            out.text(kServices[Weekday].id).text(text).number(2).endRow();
            out.text(kServices[Weekend].id).text(text).number(1).endRow();
        }
        out.close();
    }
    {
        CsvWriter out(sink, "trips.txt", {"route_id", "service_id", "trip_id", "trip_headsign", "direction_id"});
        for (const Line& line : city.lines) {
            const std::string* headsigns[2] = {&city.stops[static_cast<std::size_t>(line.stops[0].back())].name,
                                               &city.stops[static_cast<std::size_t>(line.stops[1].back())].name};
            forEachRun(line, [&](const Run& run) {
                out.text(line.id).text(kServices[run.service].id).text(tripId(line, run));
                out.text(*headsigns[run.direction]).number(run.direction).endRow();
            });
        }
        out.close();
        summary.trips = out.rows();
    }
    {
        CsvWriter out(
            sink, "stop_times.txt",
            {"trip_id", "arrival_time", "departure_time", "stop_id", "stop_sequence", "pickup_type", "drop_off_type"});
        for (const Line& line : city.lines) {
            forEachRun(line, [&](const Run& run) {
                const std::string id = tripId(line, run);
                const auto& stops = line.stops[static_cast<std::size_t>(run.direction)];
                const auto& seconds = line.runSeconds[static_cast<std::size_t>(run.direction)];
                for (std::size_t k = 0; k < stops.size(); ++k) {
                    const int at = stopTimeSeconds(run, seconds[k]);
                    out.text(id).time(at).time(at);
                    out.text(city.stops[static_cast<std::size_t>(stops[k])].id)
                        .number(static_cast<std::int64_t>(k + 1));
                    // Nobody boards at the terminus or alights at the first stop.
                    if (k + 1 == stops.size())
                        out.number(1).empty();
                    else if (k == 0)
                        out.empty().number(1);
                    else
                        out.empty().empty();
                    out.endRow();
                }
            });
        }
        out.close();
        summary.stopTimes = out.rows();
    }
    {
        CsvWriter out(sink, "frequencies.txt", {"trip_id", "start_time", "end_time", "headway_secs", "exact_times"});
        for (const Line& line : city.lines) {
            if (line.frequencies == FrequencyUse::None)
                continue;
            forEachRun(line, [&](const Run& run) {
                out.text(tripId(line, run)).time(run.window->start * 60).time(run.window->end * 60);
                out.number(run.window->headway * 60).number(line.frequencies == FrequencyUse::Exact ? 1 : 0).endRow();
            });
        }
        out.close();
        summary.frequencies = out.rows();
    }
    {
        CsvWriter out(sink, "feed_info.txt",
                      {"feed_publisher_name", "feed_publisher_url", "feed_lang", "feed_start_date", "feed_end_date",
                       "feed_version"});
        const std::string version = "synth-" + std::to_string(options.seed) + "-" + std::to_string(options.stops) +
                                    "-" + startText + "-" + std::to_string(options.days);
        out.text(kAgencyName).text(kAgencyUrl).text("hu").text(startText).text(endText).text(version).endRow();
        out.close();
    }
    return summary;
}

std::optional<std::pair<double, double>> parseCentre(std::string_view text) {
    const auto comma = text.find(',');
    if (comma == std::string_view::npos)
        return std::nullopt;
    auto number = [](std::string_view part) -> std::optional<double> {
        while (!part.empty() && part.front() == ' ')
            part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ')
            part.remove_suffix(1);
        double value = 0;
        const auto [end, ec] = std::from_chars(part.data(), part.data() + part.size(), value);
        if (part.empty() || ec != std::errc() || end != part.data() + part.size() || !std::isfinite(value))
            return std::nullopt;
        return value;
    };
    const auto lat = number(text.substr(0, comma));
    const auto lon = number(text.substr(comma + 1));
    if (!lat || !lon || std::fabs(*lat) > 90.0 || std::fabs(*lon) > 180.0)
        return std::nullopt;
    return std::pair{*lat, *lon};
}

std::optional<year_month_day> parseDate(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-')
        return std::nullopt;
    auto field = [&](std::size_t from, std::size_t length) -> std::optional<int> {
        int value = 0;
        const char* first = text.data() + from;
        const char* last = first + length;
        if (!std::all_of(first, last, [](char c) { return c >= '0' && c <= '9'; }))
            return std::nullopt;
        std::from_chars(first, last, value);
        return value;
    };
    const auto y = field(0, 4);
    const auto m = field(5, 2);
    const auto d = field(8, 2);
    if (!y || !m || !d)
        return std::nullopt;
    const year_month_day date{std::chrono::year{*y}, std::chrono::month{static_cast<unsigned>(*m)},
                              std::chrono::day{static_cast<unsigned>(*d)}};
    if (!date.ok())
        return std::nullopt;
    return date;
}

std::string gtfsDate(year_month_day date) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d%02u%02u", static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                  static_cast<unsigned>(date.day()));
    return text;
}

}  // namespace velmo::synth
