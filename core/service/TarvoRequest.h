#pragma once
// TarvoRequest: the client of the departures service.
//
// A query finds the user's position (EasyLocation), POSTs it with the user's preferences to
// the departures endpoint and hands the reply's two departure lists to one callback. Two
// more queries ask for details of one trip. Every failure arrives as a short code string
// (toErrorString gives its Hungarian message); nothing is retried, cached or kept between
// queries, and each request runs on a session of its own. An exchange gets 25 s in all and a
// reply at most kDefaultMaximumBodyBytes; a redirect is not followed. Each of these, like a
// network failure, ends as "DOWNLOADERROR". A query whose chosen base is not set (empty)
// sends nothing and ends as "NOSERVER".
//
// Threads: everything starts on the main thread; completions arrive there through the run
// loop or the URL session backend, never inside the call that started the query.

#include "core/json/JSON.h"
#include "core/service/ServerConfig.h"
#include "core/service/TarvoReply.h"
#include "platform/defaults/PlistValue.h"
#include "platform/http/UrlSession.h"

#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo {

class AppSettings;
class Bundle;
class EasyLocation;
class RunLoop;

// The name reserved for the client's stage events ("LOCATION", "SERVER").
extern const std::string kTarvoEvent;

class TarvoRequest {
public:
    // error code, "stopDates", "stopDatesNearby", city name, city URL, city key, reserved.
    // On success the code is absent and both lists present (null when the reply lacks them);
    // on failure only the code may be present; the last argument is always absent.
    using Callback = std::function<void(std::optional<std::string> error, std::optional<JSON> stopDates,
                                        std::optional<JSON> stopDatesNearby, std::optional<std::string> cityName,
                                        std::optional<std::string> cityURL, std::optional<std::string> cityKey,
                                        std::optional<std::string> reserved)>;
    // error code, the whole reply (present on success only).
    using DetailsCallback = std::function<void(std::optional<std::string> error, std::optional<JSON> reply)>;

    // Every collaborator given. The client owns `manager` and `settings`; `sessions`,
    // `runLoop` and `bundle` must outlive it.
    TarvoRequest(std::unique_ptr<EasyLocation> manager, std::unique_ptr<AppSettings> settings,
                 UrlSessionFactory& sessions, RunLoop& runLoop, const Bundle& bundle, ServerBases servers);
    virtual ~TarvoRequest();
    TarvoRequest(const TarvoRequest&) = delete;
    TarvoRequest& operator=(const TarvoRequest&) = delete;

    // The route-type codes the client knows (image names of the row view).
    const std::vector<std::string> currentValidType;

    // One query: position, then request, then `callback` at most once. A location failure
    // gives "NOLOCATIONDISABLED", "NOLOCATIONACCESS" or "NOLOCATION". A second query
    // started while this one waits for its position replaces it (the first never answers).
    virtual void getWithLocation(bool skip_nearby, Callback callback);
    // The trip's details ("more/") and its vehicle ("vehicle/"): the four strings are sent as
    // given; `callback` runs exactly once. A body that cannot be serialised is reported
    // before the call returns.
    virtual void getMoreInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                             const std::string& routeId, DetailsCallback callback);
    virtual void getVehicleInfo(const std::string& city, const std::string& tripId, const std::string& stopId,
                                const std::string& routeId, DetailsCallback callback);
    // Stops whose names match `text` ("stops/": the start of a word, without regard to case
    // or accents), at most 20; the reply's "stops" lists each with its city and position.
    // `callback` runs exactly once, as for the trip's details.
    virtual void getStops(const std::string& text, DetailsCallback callback);
    // The request for a given position (degrees) and radii (metres); `skip_nearby` changes
    // nothing. `callback` runs exactly once, never inside this call.
    virtual void get(float lat, float lon, float rad, float radFav, bool skip_nearby, Callback callback);
    // Stops nothing: a query under way still answers (the caller ignores a late answer).
    virtual void cancel();
    // The stage hook of a query; publishes nothing.
    virtual void sendBroadcast(const std::string& message);

    // The item map of one departure (22 keys, 23 with "warningText"), or absent when a member
    // is missing or of the wrong kind. Non-string warning texts are left out.
    static std::optional<PlistMap> toDictionary(const JSON& json);
    // The item maps of a list's departures, in order; an invalid item is skipped and named
    // in one line on `log`, as is every non-string warning text left out.
    static PlistList toDictionaries(const JSON& list, std::ostream& log);
    static PlistList toDictionaries(const JSON& list);
    // The Hungarian message for an error code.
    static std::string toErrorString(std::string_view code);

    // Replaces the bases (servers.conf read again); the next query uses them.
    void setServerBases(ServerBases servers);

    EasyLocation& manager() { return *manager_; }
    AppSettings& settings() { return *settings_; }

protected:
    // The base chosen by "useDevelopmentServer" (1 local, 2 development, else production).
    virtual std::string baseServerUrl() const;
    // The eight identifying headers, read afresh.
    virtual HeaderMap getExtendedHeaders() const;

private:
    using Completion = std::function<void(Envelope)>;
    // Serialises `body` and POSTs it to `format` applied to the base on a new session;
    // false (nothing sent) when the body cannot be serialised.
    bool send(std::string_view format, const JSON& body, Completion completion);
    void details(std::string_view format, const std::string& city, const std::string& tripId, const std::string& stopId,
                 const std::string& routeId, DetailsCallback callback);
    std::vector<std::string> favouriteIds(const std::string& key) const;

    std::unique_ptr<EasyLocation> manager_;
    std::unique_ptr<AppSettings> settings_;
    UrlSessionFactory& sessions_;
    RunLoop& runLoop_;
    const Bundle& bundle_;
    ServerBases servers_;
};

}  // namespace velmo
