// How much of a saved GTFS-Realtime file tarvod lays over its static feed: the overlay is built
// as the poller builds it, at the file's own header time, and its counts are printed as one line.
//
//   tarvod_realtime_match FEED.zip MESSAGE.pb [MESSAGE.pb ...]

#include "server/gtfs/Directory.h"
#include "server/gtfs/Loader.h"
#include "server/realtime/Message.h"
#include "server/realtime/Overlay.h"

#include <date/tz.h>

#include <fstream>
#include <iostream>
#include <sstream>

using namespace velmo;

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: tarvod_realtime_match FEED MESSAGE.pb [MESSAGE.pb ...]\n";
        return 2;
    }
    const auto feed = gtfs::loadFeed(*gtfs::openDirectory(argv[1]));
    const auto* zone = date::locate_zone(feed->timezone());
    std::cout << "file\tentities\ttrip_updates\tmatched\tunknown_trips\tcancelled\tskipped_stops\tadded\t"
                 "frequency_runs\tunknown_stops\tvehicles\talerts\n";
    for (int i = 2; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        std::stringstream bytes;
        bytes << in.rdbuf();
        auto parsed = realtime::parseMessage(bytes.str());
        if (const auto* error = std::get_if<std::string>(&parsed)) {
            std::cerr << argv[i] << ": " << *error << "\n";
            return 1;
        }
        const auto message = std::get<std::shared_ptr<const realtime::pb::FeedMessage>>(parsed);
        const realtime::TimePoint stamp{std::chrono::seconds(message->header().timestamp())};
        const realtime::Input input{message, stamp};
        realtime::BuildStats s;
        realtime::buildOverlay(feed, zone, std::span(&input, 1), stamp, std::chrono::seconds(300), &s);
        std::cout << argv[i] << "\t" << message->entity_size() << "\t" << s.tripUpdates << "\t" << s.matchedTrips
                  << "\t" << s.unknownTrips << "\t" << s.canceledTrips << "\t" << s.skippedStops << "\t" << s.addedTrips
                  << "\t" << s.frequencyRuns << "\t" << s.unknownStops << "\t" << s.vehicles << "\t" << s.alerts
                  << "\n";
    }
    return 0;
}
