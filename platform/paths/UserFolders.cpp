#include "platform/paths/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace velmo {

namespace {

// Relative values are ignored, as the XDG base directory rules ask.
const char* absoluteVariable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

}  // namespace

std::string homeFolder() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return home;
    }
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr) {
        return entry->pw_dir;
    }
    return {};
}

std::string configHome() {
    if (const char* xdg = absoluteVariable("XDG_CONFIG_HOME")) {
        return xdg;
    }
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.config";
}

std::string dataHome() {
    if (const char* xdg = absoluteVariable("XDG_DATA_HOME")) {
        return xdg;
    }
    const std::string home = homeFolder();
    return home.empty() ? std::string() : home + "/.local/share";
}

}  // namespace velmo
