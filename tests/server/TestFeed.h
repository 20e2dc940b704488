#pragma once

// Small inline-CSV feeds for the server tests.

#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"

#include <memory>
#include <string>
#include <vector>

namespace velmo::test {

// A one-line city in Europe/Budapest: stops A and B (20 m apart, same
// station P), C 1 km away; route 9 (bus) runs trip T1 A→C at 08:00 daily in 2025.
inline gtfs::MemoryDirectory smallFeed() {
    gtfs::MemoryDirectory d;
    d.put("agency.txt",
          "agency_id,agency_name,agency_url,agency_timezone\n"
          "BK,Budapesti Közlekedési Központ,https://bkk.example,Europe/Budapest\n");
    d.put("stops.txt",
          "stop_id,stop_name,stop_lat,stop_lon,location_type,parent_station\n"
          "P,Deák tér,47.4970,19.0540,1,\n"
          "A,Deák tér,47.4970,19.0540,0,P\n"
          "B,Deák tér,47.4971,19.0542,,P\n"
          "C,Astoria,47.4930,19.0660,0,\n");
    d.put("routes.txt",
          "route_id,agency_id,route_short_name,route_long_name,route_type\n"
          "R9,BK,9,,3\n");
    d.put("calendar.txt",
          "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
          "ALL,1,1,1,1,1,1,1,20250101,20251231\n");
    d.put("trips.txt", "route_id,service_id,trip_id,trip_headsign,direction_id\nR9,ALL,T1,Astoria,0\n");
    d.put("stop_times.txt",
          "trip_id,arrival_time,departure_time,stop_id,stop_sequence\n"
          "T1,08:00:00,08:00:00,A,1\n"
          "T1,08:05:00,08:05:00,C,2\n");
    return d;
}

inline std::shared_ptr<const gtfs::Feed> load(const gtfs::MemoryDirectory& d) { return gtfs::loadFeed(d); }

}  // namespace velmo::test

namespace velmo::test {

// Builds a feed row by row for tests that need their own network. Every trip
// runs on service "ALL" (daily in 2025) unless given another service.
struct FeedBuilder {
    std::string timezone = "Europe/Budapest";
    std::string stops = "stop_id,stop_name,stop_lat,stop_lon,location_type,parent_station\n";
    std::string routes = "route_id,route_short_name,route_long_name,route_type\n";
    std::string trips = "route_id,service_id,trip_id,trip_headsign,direction_id\n";
    std::string stopTimes = "trip_id,arrival_time,departure_time,stop_id,stop_sequence,stop_headsign,pickup_type\n";
    std::string calendar =
        "service_id,monday,tuesday,wednesday,thursday,friday,saturday,sunday,start_date,end_date\n"
        "ALL,1,1,1,1,1,1,1,20250101,20251231\n";
    std::string calendarDates = "service_id,date,exception_type\n";
    std::string frequencies = "trip_id,start_time,end_time,headway_secs\n";

    struct Call {
        std::string stop;
        std::string time;
        std::string headsign = "";
        std::string pickup = "";
    };

    FeedBuilder& stop(const std::string& id, const std::string& name, double lat, double lon,
                      const std::string& parent = "", int type = 0) {
        stops += id + ",\"" + name + "\"," + std::to_string(lat) + "," + std::to_string(lon) + "," +
                 std::to_string(type) + "," + parent + "\n";
        return *this;
    }
    FeedBuilder& route(const std::string& id, const std::string& shortName, int type,
                       const std::string& longName = "") {
        routes += id + "," + shortName + "," + longName + "," + std::to_string(type) + "\n";
        return *this;
    }
    FeedBuilder& trip(const std::string& id, const std::string& route, const std::vector<Call>& calls,
                      int direction = 0, const std::string& headsign = "", const std::string& service = "ALL") {
        trips += route + "," + service + "," + id + "," + headsign + "," + std::to_string(direction) + "\n";
        int seq = 1;
        for (const auto& c : calls) {
            stopTimes += id + "," + c.time + "," + c.time + "," + c.stop + "," + std::to_string(seq++) + "," +
                         c.headsign + "," + c.pickup + "\n";
        }
        return *this;
    }

    gtfs::MemoryDirectory directory() const {
        gtfs::MemoryDirectory d;
        d.put("agency.txt",
              "agency_name,agency_url,agency_timezone\nTeszt Közlekedés,https://teszt.example," + timezone + "\n");
        d.put("stops.txt", stops);
        d.put("routes.txt", routes);
        d.put("trips.txt", trips);
        d.put("stop_times.txt", stopTimes);
        d.put("calendar.txt", calendar);
        d.put("calendar_dates.txt", calendarDates);
        d.put("frequencies.txt", frequencies);
        return d;
    }
};

}  // namespace velmo::test
