#include "platform/location/QtLocationService.h"

#include "platform/location/FixedLocationService.h"
#include "platform/location/RunLoopLocationManager.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusReply>
#include <QGeoPositionInfo>
#include <QGeoPositionInfoSource>
#include <QNmeaPositionInfoSource>
#include <QObject>
#include <QVariantMap>

#include <cmath>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <utility>

namespace velmo {

namespace {

// When a source reports no accuracy, its fixes are taken as this uncertain (metres).
constexpr double kUnknownAccuracy = 100.0;
// User-equivalent range error for NMEA receivers: turns the reported HDOP into metres.
constexpr double kNmeaRangeError = 5.0;

using SourceFactory = std::function<QGeoPositionInfoSource*(QObject* parent)>;

// What all managers of one service share: how sources are made and what access is known.
struct QtServiceState {
    SourceFactory makeSource;
    std::string label;           // names the source in messages
    bool stampWithNow = false;   // log replays carry old times
    bool reportSilence = false;  // write a line when a run ends without a fix
    bool tracksAccess = false;   // the system source: access known from its answers
    AuthorizationStatus status = AuthorizationStatus::notDetermined;
    std::ostream* err = &std::cerr;
};

class QtPositionManager final : public RunLoopLocationManager {
public:
    QtPositionManager(RunLoop& runLoop, std::shared_ptr<QtServiceState> state)
        : RunLoopLocationManager(runLoop, [state] { return state->status; }), state_(std::move(state)) {}

    ~QtPositionManager() override {
        if (source_) {
            source_->stopUpdates();
        }
    }

    void startUpdatingLocation() override {
        if (!source_) {
            source_.reset(state_->makeSource(&context_));
            if (!source_) {
                *state_->err << "velmo: location source " << state_->label << " cannot be opened" << std::endl;
                deliverFailure({LocationError::invalidSource, "cannot open " + state_->label});
                return;
            }
            QObject::connect(source_.get(), &QGeoPositionInfoSource::positionUpdated, &context_,
                             [this](const QGeoPositionInfo& info) { onPosition(info); });
            QObject::connect(source_.get(), &QGeoPositionInfoSource::errorOccurred, &context_,
                             [this](QGeoPositionInfoSource::Error error) { onError(error); });
        }
        if (state_->tracksAccess && !updating_) {
            // Qt's geoclue2 back-end repeats its last position (kept in memory and on disk
            // across runs) as the first update of each start, before GeoClue has said
            // anything. It may be days old, from another place, or from before the agent
            // refused us: it is not a fix of this run.
            const QGeoPositionInfo known = source_->lastKnownPosition();
            replay_ = known.isValid() ? std::optional(known) : std::nullopt;
        }
        gotFixThisRun_ = false;
        updating_ = true;
        source_->startUpdates();
    }

    void stopUpdatingLocation() override {
        if (updating_ && !gotFixThisRun_ && state_->reportSilence) {
            *state_->err << "velmo: no position from location source " << state_->label << std::endl;
        }
        updating_ = false;
        if (source_) {
            source_->stopUpdates();
        }
    }

private:
    void onPosition(const QGeoPositionInfo& info) {
        if (!info.isValid()) {
            return;
        }
        // The repeat comes first, queued inside startUpdates; a later equal fix is GeoClue's.
        if (const auto replay = std::exchange(replay_, std::nullopt); replay && *replay == info) {
            return;
        }
        gotFixThisRun_ = true;
        if (state_->tracksAccess && state_->status == AuthorizationStatus::notDetermined) {
            // A fix means the agent let us in; the delegate hears it before the fix.
            state_->status = AuthorizationStatus::authorizedWhenInUse;
            deliverAuthorization(state_->status);
        }
        Location fix;
        fix.latitude = info.coordinate().latitude();
        fix.longitude = info.coordinate().longitude();
        const double accuracy = info.hasAttribute(QGeoPositionInfo::HorizontalAccuracy)
                                    ? info.attribute(QGeoPositionInfo::HorizontalAccuracy)
                                    : std::nan("");
        fix.horizontalAccuracy = std::isfinite(accuracy) && accuracy >= 0 ? accuracy : kUnknownAccuracy;
        const QDateTime stamp = info.timestamp();
        if (state_->stampWithNow || !stamp.isValid()) {
            fix.timestamp = runLoop().now();
        } else {
            fix.timestamp = RunLoop::TimePoint{std::chrono::milliseconds{stamp.toMSecsSinceEpoch()}};
        }
        deliverLocations({fix});
    }

    void onError(QGeoPositionInfoSource::Error error) {
        if (error == QGeoPositionInfoSource::NoError) {
            return;
        }
        if (error == QGeoPositionInfoSource::AccessError && state_->tracksAccess) {
            state_->status = AuthorizationStatus::denied;
            deliverAuthorization(state_->status);
            return;
        }
        *state_->err << "velmo: location source " << state_->label << " failed (error " << static_cast<int>(error)
                     << ")" << std::endl;
        gotFixThisRun_ = true;  // already reported
        deliverFailure(
            {error == QGeoPositionInfoSource::AccessError ? LocationError::denied : LocationError::locationUnknown,
             "positioning error " + std::to_string(static_cast<int>(error))});
    }

    std::shared_ptr<QtServiceState> state_;
    QObject context_;  // owns the source; its connections die with the manager
    std::unique_ptr<QGeoPositionInfoSource> source_;
    bool updating_ = false;
    bool gotFixThisRun_ = false;
    std::optional<QGeoPositionInfo> replay_;  // the back-end's repeat expected first after a start
};

class QtLocationService final : public LocationService {
public:
    QtLocationService(RunLoop& runLoop, std::shared_ptr<QtServiceState> state)
        : runLoop_(runLoop), state_(std::move(state)) {}

    std::unique_ptr<LocationManager> makeManager() override {
        return std::make_unique<QtPositionManager>(runLoop_, state_);
    }
    AuthorizationStatus authorizationStatus() const override { return state_->status; }
    bool locationServicesEnabled() const override { return true; }

private:
    RunLoop& runLoop_;
    std::shared_ptr<QtServiceState> state_;
};

bool geoClueReachable() {
    const QString service = QStringLiteral("org.freedesktop.GeoClue2");
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    if (bus.interface()->isServiceRegistered(service).value()) {
        return true;
    }
    const QDBusReply<QStringList> activatable = bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(service);
}

}  // namespace

std::unique_ptr<LocationService> makeSystemLocationService(RunLoop& runLoop, const Bundle& bundle) {
    if (QGeoPositionInfoSource::availableSources().isEmpty() || !geoClueReachable()) {
        return nullptr;
    }
    // The desktop's location agent asks the user on behalf of this program.
    const QString desktopId = QString::fromStdString(bundle.info(kBundleExecutableKey).value_or("velmomac"));
    return makeSystemLocationService(runLoop, [desktopId](QObject* parent) {
        const QVariantMap parameters{{QStringLiteral("desktopId"), desktopId}};
        return QGeoPositionInfoSource::createDefaultSource(parameters, parent);
    });
}

std::unique_ptr<LocationService> makeSystemLocationService(RunLoop& runLoop, SourceFactory makeSource) {
    auto state = std::make_shared<QtServiceState>();
    state->label = "system";
    state->tracksAccess = true;
    state->makeSource = std::move(makeSource);
    return std::make_unique<QtLocationService>(runLoop, std::move(state));
}

std::unique_ptr<LocationService> makeNmeaLocationService(RunLoop& runLoop, const std::string& source,
                                                         std::ostream& err) {
    const bool device = source.rfind("serial:", 0) == 0 || source.rfind("socket:", 0) == 0;
    std::error_code ec;
    if (!device && !std::filesystem::is_regular_file(source, ec)) {
        err << "velmo: NMEA log \"" << source << "\" does not exist or is not a file" << std::endl;
        return std::make_unique<FailingLocationService>(runLoop, "no NMEA log at " + source);
    }
    auto state = std::make_shared<QtServiceState>();
    state->label = "nmea:\"" + source + "\"";
    state->stampWithNow = !device;
    state->reportSilence = true;
    state->status = AuthorizationStatus::authorizedWhenInUse;
    state->err = &err;
    const QString path = QString::fromStdString(source);
    state->makeSource = [path](QObject* parent) -> QGeoPositionInfoSource* {
        const QVariantMap parameters{{QStringLiteral("nmea.source"), path}};
        QGeoPositionInfoSource* created =
            QGeoPositionInfoSource::createSource(QStringLiteral("nmea"), parameters, parent);
        if (auto* nmea = qobject_cast<QNmeaPositionInfoSource*>(created)) {
            nmea->setUserEquivalentRangeError(kNmeaRangeError);
        }
        return created;
    };
    return std::make_unique<QtLocationService>(runLoop, std::move(state));
}

}  // namespace velmo
