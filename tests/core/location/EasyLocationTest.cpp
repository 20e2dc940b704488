// The location provider over a scripted location service and a virtual-clock run loop: when
// a request answers, with what, and which fix it keeps.

#include "core/location/EasyLocation.h"

#include "platform/location/FakeLocationService.h"
#include "platform/runloop/ManualRunLoop.h"

#include <gtest/gtest.h>

#include <sstream>

using namespace std::chrono_literals;
using namespace velmo;

namespace {

struct Reply {
    std::optional<Location> location;
    std::optional<EasyLocationError> error;
};

const Bundle kBundle({{"CFBundleExecutable", "velmomactoday"}, {"NSLocationUsageDescription", "A megállókhoz."}});

class EasyLocationTest : public ::testing::Test {
protected:
    explicit EasyLocationTest(AuthorizationStatus status = AuthorizationStatus::authorizedWhenInUse)
        : service(loop, status), provider(service, loop, kBundle, out) {}

    EasyLocation::Callback record(std::vector<Reply>& into) {
        return [&into](auto l, auto e) { into.push_back({l, e}); };
    }
    // A request as the departures client makes it, settled through the run loop.
    void request(std::vector<Reply>& into) {
        provider.getLocation(kLocationAccuracyHundredMeters, 100, 30, record(into));
        loop.runPending();
    }
    Location fix(double accuracy, double lat = 47.5, RunLoop::Seconds age = 0s) {
        return Location{lat, 19.05, accuracy, loop.now() - std::chrono::duration_cast<RunLoop::Clock::duration>(age)};
    }
    void deliver(const Location& l) {
        service.deliverLocation(l);
        loop.runPending();
    }
    FakeLocationManager& manager() { return *service.lastManager(); }

    ManualRunLoop loop;
    FakeLocationService service;
    std::ostringstream out;
    EasyLocation provider;
    std::vector<Reply> replies;
};

class EasyLocationUndetermined : public EasyLocationTest {
protected:
    EasyLocationUndetermined() : EasyLocationTest(AuthorizationStatus::notDetermined) {}
};

}  // namespace

TEST_F(EasyLocationTest, FirstFixAnswersHoweverPoorAndEndsTheRequest) {
    request(replies);
    EXPECT_EQ(out.str(), "Location services enabled: true\n");
    EXPECT_TRUE(manager().isUpdating());
    service.deliverLocations({});  // an empty delivery is ignored
    loop.runPending();
    EXPECT_TRUE(replies.empty());

    service.deliverLocations({fix(10, 1.0), fix(5000, 2.0)});  // the last fix of a delivery counts
    loop.runPending();
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_TRUE(replies[0].location);
    EXPECT_EQ(replies[0].location->latitude, 2.0);
    EXPECT_FALSE(replies[0].error);
    EXPECT_FALSE(manager().isUpdating());
    loop.advance(60s);  // the deadline went with the request
    EXPECT_EQ(replies.size(), 1u);
}

// A second request drops the first one's callback but not its deadline.
TEST_F(EasyLocationTest, TimeOutFiresExactlyAtTheFirstRequestsDeadline) {
    provider.allowFailbackToLastLocation = true;  // but there is no stored fix to fall back to
    provider.failbackLocationAccuracy = 500;
    std::vector<Reply> first;
    request(first);
    loop.advance(10s);
    request(replies);
    loop.advance(19999ms);
    EXPECT_TRUE(replies.empty());
    loop.advance(1ms);
    EXPECT_TRUE(first.empty());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].location);
    EXPECT_EQ(replies[0].error->code, 2);
    EXPECT_EQ(replies[0].error->domain, "velmomactoday.EasyLocation");
    EXPECT_FALSE(manager().isUpdating());
}

TEST_F(EasyLocationTest, DestroyedProviderIsNotReachedByQueuedDeliveries) {
    auto local = std::make_unique<EasyLocation>(service, loop, kBundle, out);
    local->getLocation(100, 100, 30, record(replies));
    loop.runPending();
    service.deliverLocation(fix(10));
    local.reset();
    loop.runPending();
    loop.advance(60s);
    EXPECT_TRUE(replies.empty());
}

TEST_F(EasyLocationUndetermined, WaitForAccessHasADeadlineAndGrantingRestartsIt) {
    request(replies);
    loop.advance(20s);
    service.changeAuthorization(AuthorizationStatus::authorizedWhenInUse);
    loop.runPending();
    loop.advance(29999ms);  // 49.999 s after the request
    EXPECT_TRUE(replies.empty());
    loop.advance(1ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error->code, 2);
}

TEST_F(EasyLocationUndetermined, StoredFixSurvivesOnlyWhenStrictlyMoreAccurateAndStrictlyYounger) {
    // stored accuracy and age (s; negative: stamped in the future), new accuracy and age, new one kept
    const std::vector<std::tuple<double, double, double, double, bool>> cases{
        {50, 0, 50, 100, true},     // as accurate, older
        {50, 0, 10, 100, true},     // more accurate, older
        {10, 5, 50, 5, true},       // less accurate, as old
        {10, 10, 50, 1, true},      // less accurate, younger
        {10, 1, 50, 10, false},     // less accurate, older
        {10, 1.4, 50, 1.5, false},  // ages round to whole seconds: 1 against 2
        {10, 2.5, 50, 2.6, true},   // halves round away from zero: 3 against 3
        {10, -1.6, 50, 2.4, true},  // a future stamp counts by its distance: 2 against 2
        {10, -0.4, 50, 1.0, false},
    };
    request(replies);  // access undetermined: fixes are stored, not answered
    for (const auto& [storedAccuracy, storedAge, newAccuracy, newAge, newKept] : cases) {
        deliver(fix(1e9, 0.0));  // fresh and replaceable by any fix: a clean start for the case
        deliver(fix(storedAccuracy, 1.0, RunLoop::Seconds{storedAge}));
        deliver(fix(newAccuracy, 2.0, RunLoop::Seconds{newAge}));
        EXPECT_EQ(provider.lastLocation()->latitude, newKept ? 2.0 : 1.0) << storedAge << " / " << newAge;
    }
    EXPECT_TRUE(replies.empty());
}
