#pragma once
// The composition root of the client programs (velmomac's window and --once, velmomactoday):
// builds the run loop, the bundle, the settings, the URL sessions, the location service and
// the departures client once, from the shared settings, the already-parsed command line and
// the platform, and hands each part what it needs. Nothing below it reads argv or opens a
// platform service on its own.
//
// Build it on the main thread after the Qt application object exists, and keep it alive
// for as long as anything it handed out is used.

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

namespace velmo {

class Bundle;
class DeparturesClient;
class SettingsLocationService;
class QtRunLoop;
class QtUrlSessionFactory;
class RunLoop;
class TarvoRequest;
class UrlSessionFactory;
class UserDefaults;

struct ClientOptions {
    // The value of --position ("LAT,LON[,ACC]"), which wins over the settings; a value that
    // is not a position is named on the error stream and every query then fails.
    std::optional<std::string> position;
};

class ClientStack {
public:
    // The location provider's status lines go to `locationLog`; problems with the location
    // choice and with servers.conf go to `err`.
    ClientStack(const ClientOptions& options, std::ostream& locationLog, std::ostream& err);
    ~ClientStack();
    ClientStack(const ClientStack&) = delete;
    ClientStack& operator=(const ClientStack&) = delete;

    RunLoop& runLoop();
    const Bundle& bundle() const;
    UrlSessionFactory& sessions();
    // The program's own settings suite (beta updates and the like).
    UserDefaults& standardDefaults();
    TarvoRequest& request();

    // The departures source of the display controllers: the request above behind the
    // interface the row views and the widget use. Every call gives a new adapter over the
    // same request.
    std::unique_ptr<DeparturesClient> departuresClient();

private:
    std::unique_ptr<QtRunLoop> loop_;
    std::unique_ptr<QtUrlSessionFactory> sessions_;
    std::unique_ptr<SettingsLocationService> location_;
    std::unique_ptr<TarvoRequest> request_;
};

}  // namespace velmo
