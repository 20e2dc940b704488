#pragma once
// Text comparison for favourite lists: the user's locale collation, ignoring letter case.

#include <memory>
#include <string>
#include <string_view>

namespace velmo {

// The ICU locale named by LC_ALL, LC_COLLATE or LANG (the first one set): "hu_HU.UTF-8"
// gives "hu_HU"; "C", "POSIX" or nothing gives "" (the root collation).
std::string collationLocaleFromEnvironment();

class LocaleCollator {
public:
    // A collator for `locale` ("" for the root collation); secondary strength, so case is
    // ignored while accents still count.
    explicit LocaleCollator(const std::string& locale = collationLocaleFromEnvironment());
    ~LocaleCollator();
    LocaleCollator(const LocaleCollator&) = delete;
    LocaleCollator& operator=(const LocaleCollator&) = delete;

    // Negative, zero or positive as UTF-8 text `a` sorts before, with or after `b`.
    int compare(std::string_view a, std::string_view b) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
