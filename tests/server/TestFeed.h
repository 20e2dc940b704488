#pragma once

// Small inline-CSV feeds for the server tests.

#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"

#include <string>

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

inline std::shared_ptr<const gtfs::Feed> load(const gtfs::MemoryDirectory& d) {
    return gtfs::loadFeed(d);
}

}  // namespace velmo::test
