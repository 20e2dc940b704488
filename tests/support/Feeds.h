#pragma once
// GTFS feeds written row by row in a test: into memory for the loader, or into a folder for a
// program. Header-only, so that only tests that build feeds link the feed loader.

#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"

#include <date/tz.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace velmo::test {

// Local time in Budapest, where the test feeds run.
inline std::chrono::sys_seconds budapest(date::year_month_day day, std::chrono::seconds time) {
    return date::floor<std::chrono::seconds>(
        date::make_zoned("Europe/Budapest", date::local_days(day) + time).get_sys_time());
}

// Every trip runs on service "ALL" (daily in 2025) unless given another service.
struct FeedBuilder {
    std::map<std::string, std::string, std::less<>> files{
        {"agency.txt",
         "agency_name,agency_url,agency_timezone\nTeszt Közlekedés,https://teszt.example,Europe/Budapest\n"},
        {"stops.txt", "stop_id,stop_name,stop_lat,stop_lon,location_type,parent_station\n"},
        {"routes.txt", "route_id,route_short_name,route_long_name,route_type\n"},
        {"trips.txt", "route_id,service_id,trip_id,trip_headsign,direction_id\n"},
        {"stop_times.txt", "trip_id,arrival_time,departure_time,stop_id,stop_sequence,stop_headsign\n"},
        {"calendar.txt",
         "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
         "ALL,1,1,1,1,1,1,1,20250101,20251231\n"},
        {"calendar_dates.txt", "service_id,date,exception_type\n"},
        {"frequencies.txt", "trip_id,start_time,end_time,headway_secs\n"}};

    struct Call {
        std::string stop;
        std::string time;
        std::string headsign = "";
    };

    // Appends CSV rows to a file.
    FeedBuilder& add(const std::string& file, const std::string& rows) {
        files[file] += rows;
        return *this;
    }
    FeedBuilder& stop(const std::string& id, const std::string& name, double lat, double lon,
                      const std::string& parent = "", int type = 0) {
        return add("stops.txt", id + ",\"" + name + "\"," + std::to_string(lat) + "," + std::to_string(lon) + "," +
                                    std::to_string(type) + "," + parent + "\n");
    }
    FeedBuilder& route(const std::string& id, const std::string& shortName, int type) {
        return add("routes.txt", id + "," + shortName + ",," + std::to_string(type) + "\n");
    }
    FeedBuilder& trip(const std::string& id, const std::string& route, const std::vector<Call>& calls,
                      int direction = 0, const std::string& headsign = "", const std::string& service = "ALL") {
        add("trips.txt", route + "," + service + "," + id + "," + headsign + "," + std::to_string(direction) + "\n");
        int seq = 1;
        for (const auto& c : calls) {
            add("stop_times.txt", id + "," + c.time + "," + c.time + "," + c.stop + "," + std::to_string(seq++) + "," +
                                      c.headsign + "\n");
        }
        return *this;
    }

    std::shared_ptr<const gtfs::Feed> load() const { return gtfs::loadFeed(gtfs::MemoryDirectory(files)); }
    // Writes the files into `folder` (made as needed), a feed tarvod can be pointed at.
    void writeTo(const std::filesystem::path& folder) const {
        std::filesystem::create_directories(folder);
        for (const auto& [name, text] : files)
            std::ofstream(folder / name, std::ios::binary | std::ios::trunc) << text;
    }
};

// A one-line city in Budapest: station P with stops A and B (20 m apart), C 1 km away; bus 9
// runs trip T1 from A at `departure` to C at `arrival`, daily in 2025.
inline FeedBuilder smallCity(const std::string& departure = "08:00:00", const std::string& arrival = "08:05:00") {
    FeedBuilder b;
    b.stop("P", "Deák tér", 47.4970, 19.0540, "", 1)
        .stop("A", "Deák tér", 47.4970, 19.0540, "P")
        .stop("B", "Deák tér", 47.4971, 19.0542, "P")
        .stop("C", "Astoria", 47.4930, 19.0660)
        .route("R9", "9", 3);
    return b.trip("T1", "R9", {{"A", departure}, {"C", arrival}}, 0, "Astoria");
}

}  // namespace velmo::test
