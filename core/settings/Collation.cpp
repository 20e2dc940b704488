#include "core/settings/Collation.h"

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace velmo {

std::string collationLocaleFromEnvironment() {
    std::string name;
    for (const char* variable : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            name = value;
            break;
        }
    }
    // Drop the encoding and modifier: "hu_HU.UTF-8@euro" -> "hu_HU".
    name = name.substr(0, name.find_first_of(".@"));
    if (name == "C" || name == "POSIX")
        return {};
    return name;
}

struct LocaleCollator::Impl {
    std::unique_ptr<icu::Collator> collator;
};

LocaleCollator::LocaleCollator(const std::string& locale) : impl_(std::make_unique<Impl>()) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale icuLocale =
        locale.empty() ? icu::Locale::getRoot() : icu::Locale::createCanonical(locale.c_str());
    impl_->collator.reset(icu::Collator::createInstance(icuLocale, status));
    if (U_FAILURE(status)) {
        status = U_ZERO_ERROR;
        impl_->collator.reset(icu::Collator::createInstance(icu::Locale::getRoot(), status));
    }
    if (U_FAILURE(status)) {
        impl_->collator.reset();
        return;
    }
    impl_->collator->setStrength(icu::Collator::SECONDARY);
}

LocaleCollator::~LocaleCollator() = default;

int LocaleCollator::compare(std::string_view a, std::string_view b) const {
    if (impl_->collator) {
        UErrorCode status = U_ZERO_ERROR;
        const UCollationResult result =
            impl_->collator->compareUTF8(icu::StringPiece(a.data(), static_cast<int32_t>(a.size())),
                                         icu::StringPiece(b.data(), static_cast<int32_t>(b.size())), status);
        if (U_SUCCESS(status))
            return result;
    }
    // Without ICU data: plain byte order, which at least is a consistent order.
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace velmo
