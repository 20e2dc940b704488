#pragma once
// The three base addresses of the departures service and the extra certificate that the
// local development base trusts.
//
// Built-in defaults come from the build (VELMO_PRODUCTION_BASE, VELMO_DEVELOPMENT_BASE,
// VELMO_LOCAL_BASE); a user may override them in $XDG_CONFIG_HOME/velmomac/servers.conf:
//
//   # comment
//   production  = https://api.example.org/v2/
//   development = "https://dev.example.org/v2/"
//   local       = https://localhost:8443/v2/
//   local_ca    = /home/me/.local/share/tarvod/tls/cert.pem
//
// A base must be an https address ending in "v2/". A bad line is named in one line on the
// error stream and the value before it kept; nothing in the file can make a base unusable.
// An empty base is "no server set": the build leaves production and development empty
// unless told otherwise, and a query aimed at an empty base fails with "NOSERVER" at once.

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>

namespace velmo {

struct ServerBases {
    std::string production;
    std::string development;
    std::string local;
    // PEM file trusted on top of the system's, for the local base only.
    std::string localCertificate;

    // The build's defaults (production and development empty unless the build names them); the certificate is
    // $XDG_DATA_HOME/tarvod/tls/cert.pem
    // (~/.local/share when XDG_DATA_HOME is unset or not absolute).
    static ServerBases builtIn();

    friend bool operator==(const ServerBases&, const ServerBases&) = default;
};

// The base as the settings choose it ("useDevelopmentServer": 1 local, 2 development, any
// other value or none production); empty when that base is not set.
std::string chosenServerBase(const ServerBases& bases, std::optional<std::int64_t> useDevelopmentServer);

// The address of the service's health report beside a base: "https://host:port/healthz" for
// "https://host:port/v2/" (the path's last "v2/" replaced); empty for an empty base.
std::string healthUrlForBase(std::string_view base);

// True for "https://HOST.../v2/"-shaped text: https scheme, a host, no white space, and a
// path ending in "v2/".
bool isValidServerBase(std::string_view base);

// Applies the lines of a servers.conf text on top of `bases`. `origin` names the file in
// the lines written to `err`.
ServerBases parseServerConfig(std::string_view text, ServerBases bases, std::ostream& err,
                              std::string_view origin = "servers.conf");

// $XDG_CONFIG_HOME/velmomac/servers.conf (~/.config when the variable is unset).
std::string serverConfigPath();

// The built-in bases with servers.conf applied when the file exists.
ServerBases loadServerBases(std::ostream& err);

}  // namespace velmo
