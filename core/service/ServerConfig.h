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

#include <iosfwd>
#include <string>
#include <string_view>

namespace velmo {

struct ServerBases {
    std::string production;
    std::string development;
    std::string local;
    // PEM file trusted on top of the system's, for the local base only.
    std::string localCertificate;

    // The build's defaults; the certificate is $XDG_DATA_HOME/tarvod/tls/cert.pem
    // (~/.local/share when XDG_DATA_HOME is unset or not absolute).
    static ServerBases builtIn();

    friend bool operator==(const ServerBases&, const ServerBases&) = default;
};

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
