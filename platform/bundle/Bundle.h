#pragma once
// The running program's information dictionary: name, version, build number and the reason
// shown when location access is asked for. Each program's dictionary is generated at build
// time (velmo_bundle_info in BundleInfo.cmake) and registered before main() runs.

#include <map>
#include <optional>
#include <string>

namespace velmo {

class Bundle {
public:
    using Dictionary = std::map<std::string, std::string>;

    explicit Bundle(Dictionary info);

    // The value stored under `key`, or absent.
    std::optional<std::string> info(const std::string& key) const;
    const Dictionary& dictionary() const { return info_; }

    // The running program's bundle. A program built without a generated dictionary gets one
    // naming its executable, the project version and build 0, and no location usage text.
    static const Bundle& main();

    // Installs the main bundle's dictionary; called by the generated source of each program.
    // Returns true so that it can initialise a namespace-scope constant.
    static bool registerMainDictionary(Dictionary info);

private:
    Dictionary info_;
};

// Keys of the dictionary.
inline constexpr const char* kBundleExecutableKey = "CFBundleExecutable";
inline constexpr const char* kBundleShortVersionKey = "CFBundleShortVersionString";
inline constexpr const char* kBundleVersionKey = "CFBundleVersion";
inline constexpr const char* kLocationUsageDescriptionKey = "NSLocationUsageDescription";

}  // namespace velmo
