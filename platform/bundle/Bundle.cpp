#include "platform/bundle/Bundle.h"

#include <cerrno>  // program_invocation_short_name
#include <memory>
#include <mutex>

namespace velmo {

namespace {

std::mutex& registryMutex() {
    static std::mutex mutex;
    return mutex;
}

std::unique_ptr<Bundle>& registered() {
    static std::unique_ptr<Bundle> bundle;
    return bundle;
}

Bundle::Dictionary fallbackDictionary() {
    return {
        {kBundleExecutableKey, program_invocation_short_name},
        {kBundleShortVersionKey, VELMO_PROJECT_VERSION},
        {kBundleVersionKey, "0"},
    };
}

}  // namespace

Bundle::Bundle(Dictionary info) : info_(std::move(info)) {}

std::optional<std::string> Bundle::info(const std::string& key) const {
    if (auto it = info_.find(key); it != info_.end()) {
        return it->second;
    }
    return std::nullopt;
}

const Bundle& Bundle::main() {
    std::lock_guard lock(registryMutex());
    auto& bundle = registered();
    if (!bundle) {
        bundle = std::make_unique<Bundle>(fallbackDictionary());
    }
    return *bundle;
}

bool Bundle::registerMainDictionary(Dictionary info) {
    std::lock_guard lock(registryMutex());
    registered() = std::make_unique<Bundle>(std::move(info));
    return true;
}

}  // namespace velmo
