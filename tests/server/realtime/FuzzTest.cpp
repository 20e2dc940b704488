// Random and mutated messages through the parser and the overlay builder:
// nothing may crash, hang or throw. Bounded and seeded, so it repeats.
#include "tests/server/realtime/RealtimeFixture.h"

#include <gtest/gtest.h>

#include <random>

using namespace velmo;
using namespace velmo::test;

namespace {

// A message using every part the builder reads, as mutation material.
std::string richMessage() {
    auto m = message(kNow);
    auto* u = tripUpdate(m, "T2", "20250314");
    stopDelay(u, 1, 60);
    auto* s = u->add_stop_time_update();
    s->set_stop_id("B");
    s->mutable_arrival()->set_time(unix(kNow) + 1000);
    s->set_schedule_relationship(pb::TripUpdate::StopTimeUpdate::SKIPPED);
    tripUpdate(m, "T3")->mutable_trip()->set_schedule_relationship(pb::TripDescriptor::CANCELED);
    vehicle(m, "T1", 47.5f, 10);
    auto* a = m.add_entity()->mutable_alert();
    a->add_informed_entity()->set_route_id("R9");
    a->add_active_period()->set_start(1);
    auto* t = a->mutable_header_text()->add_translation();
    t->set_text("x");
    t->set_language("hu");
    return m.SerializeAsString();
}

}  // namespace

TEST(Fuzz, RandomAndMutatedMessagesNeverCrash) {
    LiveCity city;
    std::mt19937_64 rng(20250314);
    const std::string seed = richMessage();
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        if (round % 3 == 0) {
            bytes.resize(rng() % 200);
            for (auto& c : bytes) {
                c = static_cast<char>(rng());
            }
        } else {
            bytes = seed;
            const int edits = 1 + static_cast<int>(rng() % 3);
            for (int e = 0; e < edits; ++e) {
                // Past the header mostly, so that more mutants parse and reach the builder.
                const std::size_t at = bytes.size() > 16 ? 16 + rng() % (bytes.size() - 16) : rng() % bytes.size();
                switch (rng() % 4) {
                    case 0: bytes[at] = static_cast<char>(rng()); break;
                    case 1: bytes.erase(at, 1 + rng() % 4); break;
                    case 2: bytes.insert(at, 1, static_cast<char>(rng())); break;
                    default:
                        bytes.resize(at);  // truncated
                        break;
                }
                if (bytes.empty()) {
                    bytes = seed;
                }
            }
        }
        auto result = realtime::parseMessage(bytes);
        if (auto* m = std::get_if<std::shared_ptr<const pb::FeedMessage>>(&result)) {
            ++parsed;
            const realtime::Input input{*m, kNow};
            city.live->publish(
                realtime::buildOverlay(city.city().feed, city.city().zone, std::span(&input, 1), kNow, 300s));
            const auto r = city.nearby(kNow, 3000);
            EXPECT_TRUE(r.error.empty() || r.error == query::kNoTrips);
            query::tripDetails(city.snapshot, "bp", "T2", "", kNow);
        } else {
            EXPECT_FALSE(std::get<std::string>(result).empty());
        }
    }
    // The mutations must also reach the builder, not only the parser's refusals.
    EXPECT_GT(parsed, 50);
}
