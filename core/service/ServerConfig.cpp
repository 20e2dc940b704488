#include "core/service/ServerConfig.h"

#include "platform/defaults/UserDefaults.h"
#include "platform/paths/UserFolders.h"

#include <fstream>
#include <optional>
#include <ostream>
#include <sstream>

#ifndef VELMO_PRODUCTION_BASE
#define VELMO_PRODUCTION_BASE ""
#endif
#ifndef VELMO_DEVELOPMENT_BASE
#define VELMO_DEVELOPMENT_BASE ""
#endif
#ifndef VELMO_LOCAL_BASE
#define VELMO_LOCAL_BASE "https://localhost:8443/v2/"
#endif

namespace velmo {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

// The value of a line after '=': quoted text taken literally, or unquoted text up to a '#'.
// Absent (with the reason) when the quotes are not closed or text follows them.
std::optional<std::string> readValue(std::string_view rest, std::string& why) {
    rest = trim(rest);
    if (!rest.empty() && rest.front() == '"') {
        const auto close = rest.find('"', 1);
        if (close == std::string_view::npos) {
            why = "hiányzik a záró idézőjel";
            return std::nullopt;
        }
        const std::string_view after = trim(rest.substr(close + 1));
        if (!after.empty() && after.front() != '#') {
            why = "szöveg áll a záró idézőjel után";
            return std::nullopt;
        }
        return std::string(rest.substr(1, close - 1));
    }
    if (const auto hash = rest.find('#'); hash != std::string_view::npos) {
        rest = trim(rest.substr(0, hash));
    }
    return std::string(rest);
}

}  // namespace

ServerBases ServerBases::builtIn() {
    return ServerBases{VELMO_PRODUCTION_BASE, VELMO_DEVELOPMENT_BASE, VELMO_LOCAL_BASE,
                       dataHome() + "/tarvod/tls/cert.pem"};
}

std::string chosenServerBase(const ServerBases& bases, std::optional<std::int64_t> useDevelopmentServer) {
    switch (useDevelopmentServer.value_or(0)) {
        case 1: return bases.local;
        case 2: return bases.development;
        default: return bases.production;
    }
}

std::string healthUrlForBase(std::string_view base) {
    if (base.empty()) {
        return {};
    }
    // The service's root holds v2/ and healthz side by side.
    constexpr std::string_view api = "v2/";
    const std::string_view root = base.ends_with(api) ? base.substr(0, base.size() - api.size()) : base;
    return std::string(root) + (root.ends_with('/') ? "" : "/") + "healthz";
}

bool isValidServerBase(std::string_view base) {
    constexpr std::string_view scheme = "https://";
    if (!base.starts_with(scheme) || !base.ends_with("v2/")) {
        return false;
    }
    for (const char c : base) {
        if (isSpace(c) || static_cast<unsigned char>(c) < 0x20 || c == '#' || c == '?') {
            return false;
        }
    }
    const std::string_view afterScheme = base.substr(scheme.size());
    const auto slash = afterScheme.find('/');
    // A host before the path, and the path's own "v2/" (not the host's end).
    return slash != std::string_view::npos && slash > 0 && afterScheme.size() - slash >= 4;
}

ServerBases parseServerConfig(std::string_view text, ServerBases bases, std::ostream& err, std::string_view origin) {
    int number = 0;
    while (!text.empty()) {
        const auto end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;

        line = trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        const auto where = [&] { return "velmo: " + std::string(origin) + ":" + std::to_string(number) + ": "; };
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) {
            err << where() << "kulcs = érték alakú sor kell; a sor kimarad" << std::endl;
            continue;
        }
        const std::string key(trim(line.substr(0, equals)));
        std::string why;
        const std::optional<std::string> value = readValue(line.substr(equals + 1), why);
        if (!value) {
            err << where() << why << "; a sor kimarad" << std::endl;
            continue;
        }

        std::string* target = nullptr;
        if (key == "production") {
            target = &bases.production;
        } else if (key == "development") {
            target = &bases.development;
        } else if (key == "local") {
            target = &bases.local;
        } else if (key == "local_ca") {
            if (value->empty()) {
                err << where() << "a local_ca értéke üres; marad: " << bases.localCertificate << std::endl;
            } else {
                bases.localCertificate = *value;
            }
            continue;
        } else {
            err << where() << "ismeretlen kulcs: \"" << key
                << "\" (production, development, local vagy local_ca lehet); a sor kimarad" << std::endl;
            continue;
        }
        if (!isValidServerBase(*value)) {
            err << where() << key << ": \"" << *value << "\" nem v2/-re végződő https-cím; marad: " << *target
                << std::endl;
            continue;
        }
        *target = *value;
    }
    return bases;
}

std::string serverConfigPath() {
    const std::string folder = UserDefaults::configFolder();
    return folder.empty() ? std::string() : folder + "/servers.conf";
}

ServerBases loadServerBases(std::ostream& err) {
    ServerBases bases = ServerBases::builtIn();
    const std::string path = serverConfigPath();
    if (path.empty()) {
        return bases;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return bases;  // no file: the built-in bases
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parseServerConfig(text.str(), std::move(bases), err, path);
}

}  // namespace velmo
