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

const Bundle kBundle({{"CFBundleExecutable", "velmomactoday"},
                      {"NSLocationUsageDescription", "A pozíciódat arra használjuk."}});

class EasyLocationTest : public ::testing::Test {
protected:
    explicit EasyLocationTest(AuthorizationStatus status = AuthorizationStatus::authorizedWhenInUse,
                              const Bundle& bundle = kBundle)
        : service(loop, status), provider(service, loop, bundle, out) {}

    EasyLocation::Callback record(std::vector<Reply>& into) {
        return [&into](std::optional<Location> l, std::optional<EasyLocationError> e) {
            into.push_back({std::move(l), std::move(e)});
        };
    }
    // A request as the departures client makes it, settled through the run loop.
    void request(std::vector<Reply>& into, double timeout = 30) {
        provider.getLocation(kLocationAccuracyHundredMeters, 100, timeout, record(into));
        loop.runPending();
    }
    Location fix(double accuracy, RunLoop::Seconds age = 0s, double lat = 47.5) {
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

TEST_F(EasyLocationTest, FirstFixAnswersAtOnceHoweverPoorAndEndsTheRequest) {
    request(replies);
    EXPECT_EQ(out.str(), "Location services enabled: true\n");
    ASSERT_EQ(service.managersCreated(), 1);
    EXPECT_EQ(manager().desiredAccuracy(), kLocationAccuracyHundredMeters);
    EXPECT_EQ(manager().distanceFilter(), kDistanceFilterNone);
    EXPECT_TRUE(manager().isUpdating());
    EXPECT_TRUE(provider.isTimerArmed());
    EXPECT_TRUE(replies.empty());

    deliver(fix(5000, 0s, 47.1));
    ASSERT_EQ(replies.size(), 1u);
    ASSERT_TRUE(replies[0].location);
    EXPECT_EQ(replies[0].location->latitude, 47.1);
    EXPECT_EQ(replies[0].location->horizontalAccuracy, 5000);
    EXPECT_FALSE(replies[0].error);
    EXPECT_FALSE(manager().isUpdating());
    EXPECT_FALSE(provider.isTimerArmed());
    EXPECT_FALSE(provider.hasPendingCallback());
    EXPECT_EQ(loop.activeTimerCount(), 0u);
}

TEST_F(EasyLocationTest, LastFixOfADeliveryIsUsedAndAnEmptyDeliveryIgnored) {
    request(replies);
    service.deliverLocations({});
    loop.runPending();
    EXPECT_TRUE(replies.empty());
    service.deliverLocations({fix(10, 0s, 1.0), fix(20, 0s, 2.0)});
    loop.runPending();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].location->latitude, 2.0);
}

TEST_F(EasyLocationTest, TimeOutFiresExactlyAtTheDeadline) {
    request(replies);
    loop.advance(29999ms);
    EXPECT_TRUE(replies.empty());
    loop.advance(1ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].location);
    ASSERT_TRUE(replies[0].error);
    EXPECT_EQ(replies[0].error->code, 2);
    EXPECT_EQ(replies[0].error->domain, "velmomactoday.EasyLocation");
    EXPECT_FALSE(manager().isUpdating());
}

TEST_F(EasyLocationTest, FailureAnswersCodeTwoOnceAndTheCallbackIsCleared) {
    request(replies);
    service.fail({LocationError::network, "down"});
    loop.runPending();
    deliver(fix(10));
    loop.advance(60s);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error->code, 2);
    EXPECT_FALSE(provider.hasPendingCallback());
    // The stored fix survives errors and later fixes are still kept.
    ASSERT_TRUE(provider.lastLocation());
    EXPECT_EQ(provider.lastLocation()->horizontalAccuracy, 10);
}

TEST_F(EasyLocationTest, SecondRequestDropsTheFirstCallbackAndKeepsTheFirstDeadline) {
    std::vector<Reply> first;
    request(first);
    loop.advance(10s);
    request(replies);
    loop.advance(19999ms);
    EXPECT_TRUE(replies.empty());
    loop.advance(1ms);
    EXPECT_TRUE(first.empty());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error->code, 2);
    EXPECT_EQ(service.managersCreated(), 1);
    EXPECT_EQ(out.str(), "Location services enabled: true\nLocation services enabled: true\n");
}

TEST_F(EasyLocationTest, AuthorisationChangeAfterTheReplyRunsAgainButFindsNoCallback) {
    request(replies);
    deliver(fix(30));
    ASSERT_EQ(replies.size(), 1u);
    service.changeAuthorization(AuthorizationStatus::authorizedAlways);
    loop.runPending();
    EXPECT_TRUE(manager().isUpdating());
    EXPECT_TRUE(provider.isTimerArmed());
    loop.advance(30s);
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_FALSE(manager().isUpdating());
}

TEST_F(EasyLocationTest, CallbackMayStartTheNextRequestFromInsideTheReply) {
    std::vector<Reply> second;
    provider.getLocation(100, 100, 30, [&](std::optional<Location> l, std::optional<EasyLocationError> e) {
        replies.push_back({l, e});
        provider.getLocation(100, 100, 30, record(second));
    });
    loop.runPending();
    deliver(fix(10));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_TRUE(provider.hasPendingCallback());  // the inner request is pending, not cleared
    deliver(fix(20));
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].location->horizontalAccuracy, 20);
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

TEST(EasyLocationType, RawValues) {
    EXPECT_EQ(easyLocationTypeFromRawValue(0), EasyLocationType::locationTypeNone);
    EXPECT_EQ(easyLocationTypeFromRawValue(1), EasyLocationType::locationTypeSingle);
    EXPECT_EQ(easyLocationTypeFromRawValue(2), EasyLocationType::locationTypeContinuous);
    EXPECT_FALSE(easyLocationTypeFromRawValue(3));
    EXPECT_FALSE(easyLocationTypeFromRawValue(-1));
}

TEST_F(EasyLocationTest, ContinuousAndCancelDoNothing) {
    int calls = 0;
    provider.getLocationContinuous([&](auto, auto, auto) { ++calls; });
    provider.cancelLocation();
    loop.advance(60s);
    EXPECT_EQ(service.managersCreated(), 0);
    EXPECT_EQ(provider.locationType(), EasyLocationType::locationTypeNone);
    request(replies);
    provider.cancelLocation();  // a pending request goes on
    deliver(fix(10));
    EXPECT_EQ(replies.size(), 1u);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(provider.locationType(), EasyLocationType::locationTypeSingle);
}

// --- fall-back to the stored fix at the time-out --------------------------------------------

struct FailbackCase {
    const char* name;
    bool allow;
    double failbackAccuracy;
    double storedAccuracy;
    bool answersWithStoredFix;
};

class EasyLocationFailback : public EasyLocationTest, public ::testing::WithParamInterface<FailbackCase> {};

TEST_P(EasyLocationFailback, TimeOutAnswers) {
    const FailbackCase& c = GetParam();
    std::vector<Reply> first;
    request(first);
    deliver(fix(c.storedAccuracy, 0s, 46.0));  // answers the first request and is stored
    ASSERT_EQ(first.size(), 1u);

    provider.allowFailbackToLastLocation = c.allow;
    provider.failbackLocationAccuracy = c.failbackAccuracy;
    request(replies);
    loop.advance(30s);
    ASSERT_EQ(replies.size(), 1u);
    if (c.answersWithStoredFix) {
        ASSERT_TRUE(replies[0].location);
        EXPECT_EQ(replies[0].location->latitude, 46.0);
        EXPECT_FALSE(replies[0].error);
    } else {
        EXPECT_FALSE(replies[0].location);
        ASSERT_TRUE(replies[0].error);
        EXPECT_EQ(replies[0].error->code, 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EasyLocationFailback,
                         ::testing::Values(FailbackCase{"exactly500", true, 500, 500, true},
                                           FailbackCase{"above500", true, 500, 500.1, false},
                                           FailbackCase{"failbackZero", true, 0, 10, false},
                                           FailbackCase{"failbackNegative", true, -1, -5, false},
                                           FailbackCase{"notAllowed", false, 500, 10, false},
                                           FailbackCase{"wellInside", true, 500, 65, true}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(EasyLocationTest, TimeOutWithoutAnyStoredFixAnswersCodeTwo) {
    provider.allowFailbackToLastLocation = true;
    provider.failbackLocationAccuracy = 500;
    request(replies);
    loop.advance(30s);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error->code, 2);
}

// --- authorisation walk -------------------------------------------------------------------

struct StatusCase {
    const char* name;
    AuthorizationStatus status;
    bool withUsageDescription;
    bool enabled;
    int code;
};

class EasyLocationStatus : public ::testing::TestWithParam<StatusCase> {};

TEST_P(EasyLocationStatus, EndsAtOnceWithItsCode) {
    const StatusCase& c = GetParam();
    ManualRunLoop loop;
    FakeLocationService service(loop, c.status, c.enabled);
    const Bundle bundle =
        c.withUsageDescription ? kBundle : Bundle(Bundle::Dictionary{{"CFBundleExecutable", "velmomac"}});
    std::ostringstream out;
    EasyLocation provider(service, loop, bundle, out);
    std::vector<Reply> replies;
    provider.getLocation(100, 100, 30, [&](auto l, auto e) { replies.push_back({l, e}); });
    EXPECT_TRUE(replies.empty());  // the new manager's status report continues the request
    loop.runPending();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_FALSE(replies[0].location);
    ASSERT_TRUE(replies[0].error);
    EXPECT_EQ(replies[0].error->code, c.code);
    EXPECT_EQ(replies[0].error->domain,
              c.withUsageDescription ? "velmomactoday.EasyLocation" : "velmomac.EasyLocation");
    EXPECT_EQ(service.lastManager()->startCount(), 0);
    EXPECT_EQ(loop.activeTimerCount(), 0u);
    EXPECT_EQ(out.str(), std::string("Location services enabled: ") + (c.enabled ? "true" : "false") + "\n");

    // A request on the existing manager walks the status again, synchronously.
    provider.getLocation(100, 100, 30, [&](auto l, auto e) { replies.push_back({l, e}); });
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[1].error->code, c.code);
}

INSTANTIATE_TEST_SUITE_P(Cases, EasyLocationStatus,
                         ::testing::Values(StatusCase{"restricted", AuthorizationStatus::restricted, true, false, 0},
                                           StatusCase{"denied", AuthorizationStatus::denied, true, true, 1},
                                           StatusCase{"noUsageDescription", AuthorizationStatus::notDetermined, false,
                                                      true, 3}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(EasyLocationUndetermined, FixesBeforeAccessIsGrantedAreOnlyStored) {
    request(replies);
    EXPECT_TRUE(manager().isUpdating());
    EXPECT_FALSE(provider.isTimerArmed());
    deliver(fix(40, 0s, 1.0));
    EXPECT_TRUE(replies.empty());
    ASSERT_TRUE(provider.lastLocation());
    EXPECT_EQ(provider.lastLocation()->latitude, 1.0);

    service.changeAuthorization(AuthorizationStatus::authorizedWhenInUse);
    loop.runPending();
    EXPECT_TRUE(provider.isTimerArmed());
    deliver(fix(80, 0s, 2.0));
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].location->latitude, 2.0);
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

TEST_F(EasyLocationUndetermined, AccessNeverSettledEndsAtTheTimeOutWithTheStoredFixOrCodeTwo) {
    provider.allowFailbackToLastLocation = true;
    provider.failbackLocationAccuracy = 500;
    request(replies);
    loop.advance(29999ms);
    EXPECT_TRUE(replies.empty());
    loop.advance(1ms);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].error->code, 2);
    EXPECT_FALSE(manager().isUpdating());

    request(replies);
    deliver(fix(120, 0s, 3.0));  // only stored
    loop.advance(30s);
    ASSERT_EQ(replies.size(), 2u);
    ASSERT_TRUE(replies[1].location);
    EXPECT_EQ(replies[1].location->latitude, 3.0);
}

// --- which fix is kept --------------------------------------------------------------------

struct ReplaceCase {
    const char* name;
    double storedAccuracy;
    double storedAgeSeconds;  // negative: time stamp in the future
    double newAccuracy;
    double newAgeSeconds;
    bool newIsKept;
};

class EasyLocationReplace : public EasyLocationUndetermined, public ::testing::WithParamInterface<ReplaceCase> {};

TEST_P(EasyLocationReplace, StoredFixSurvivesOnlyWhenStrictlyMoreAccurateAndStrictlyYounger) {
    const ReplaceCase& c = GetParam();
    request(replies);  // access undetermined: fixes are stored, not answered
    deliver(fix(c.storedAccuracy, RunLoop::Seconds{c.storedAgeSeconds}, 1.0));
    deliver(fix(c.newAccuracy, RunLoop::Seconds{c.newAgeSeconds}, 2.0));
    EXPECT_TRUE(replies.empty());
    ASSERT_TRUE(provider.lastLocation());
    EXPECT_EQ(provider.lastLocation()->latitude, c.newIsKept ? 2.0 : 1.0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EasyLocationReplace,
    ::testing::Values(ReplaceCase{"sameAccuracyOlder", 50, 0, 50, 100, true},
                      ReplaceCase{"moreAccurateOlder", 50, 0, 10, 100, true},
                      ReplaceCase{"lessAccurateSameAge", 10, 5, 50, 5, true},
                      ReplaceCase{"lessAccurateYounger", 10, 10, 50, 1, true},
                      ReplaceCase{"lessAccurateOlder", 10, 1, 50, 10, false},
                      ReplaceCase{"roundsToDifferentSeconds", 10, 1.4, 50, 1.5, false},     // 1 s against 2 s
                      ReplaceCase{"halfRoundsAwayFromZero", 10, 2.5, 50, 2.6, true},        // 3 s against 3 s
                      ReplaceCase{"futureStampCountsByDistance", 10, -1.6, 50, 2.4, true},  // 2 s against 2 s
                      ReplaceCase{"futureStampYounger", 10, -0.4, 50, 1.0, false}),         // 0 s against 1 s
    [](const auto& p) { return std::string(p.param.name); });
