#pragma once
// AppSettings: the typed settings store that the main application and the widget share.
//
// The values live in one user-defaults suite named by the application group; an object
// holds nothing but constant catalogue tables and opens the suite anew for each operation,
// so objects may be created and dropped freely. The catalogue names 14 keys with a type,
// a default, allowed values, Hungarian labels, titles and footers; keys outside it pass
// through to the suite unchanged.

#include "platform/defaults/PlistValue.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmo {

class UserDefaults;

class AppSettings {
public:
    // Schema version of the stored data; the start-up check runs while the stored
    // "configVersion" is below it.
    static constexpr int64_t kConfigVersion = 144;
    // Suite shared by both programs.
    static constexpr const char* kAppGroup = "velmomac.group";

    // Fills the tables and runs the start-up check when the stored version is older.
    AppSettings();
    // Fills the tables only; never runs the start-up check, whatever the flag says.
    explicit AppSettings(bool skipCheck);
    virtual ~AppSettings();
    AppSettings(const AppSettings&) = default;
    AppSettings& operator=(const AppSettings&) = default;

    // --- Store ---

    // The stored value typed by the key's type: Bool, Integer, Float and Double keys always
    // give a value (false, 0, 0.0 when absent); String and UUID keys give a string ("" when
    // absent or not a string); Any keys and keys outside the catalogue give what is stored.
    virtual std::optional<PlistValue> get(const std::string& key) const;
    // Stores the value, then calls updateWatch() and updateCloud(). For a catalogue key the
    // value must be of the key's kind (bool, int64, 32-bit float, double, string); another
    // kind is refused with one line on standard error and the stored value kept. "UUID" as
    // the value of a UUID key stores a freshly generated UUID instead. A null value removes
    // an Any key or a key outside the catalogue. True when the value was saved.
    virtual bool set(const std::string& key, const PlistValue& value);
    // "Bool", "Integer", "Float", "Double", "String", "Any", "UUID", or "None".
    virtual std::string getKeyType(const std::string& key) const;
    virtual std::vector<std::string> getValidConfigKeys() const;
    // Stores the current schema version under "configVersion" without checking anything.
    virtual void updateVersion();

    // Change hooks: nothing synchronises settings elsewhere, so they do nothing.
    virtual void updateWatch();
    virtual void updateCloud();
    virtual void watchSyncronized();
    virtual void resetWatchSyncronized();
    virtual bool isWatchSyncronized() const;

    // Checks the stored values against the catalogue and repairs them when the stored
    // version is older than kConfigVersion; the default constructor calls it. The whole
    // check is one transaction on the suite, so a crash or a failure in between leaves the
    // old values, and a second process starting at the same time finds the work done.
    void runStartupCheck();

    // --- Catalogue ---

    // Position of the stored value among the key's allowed values, or -1 (also for keys
    // outside the catalogue, Any and UUID keys, and values outside the allowed list).
    virtual int64_t getSelectedIndex(const std::string& key) const;
    // Hungarian label of the stored value, or "".
    virtual std::string getVisible(const std::string& key) const;
    // Title for a settings screen, or "".
    virtual std::string getTitleText(const std::string& key) const;
    virtual std::optional<std::string> getHeaderForKey(const std::string& key) const;
    virtual std::optional<std::string> getFooterForKey(const std::string& key) const;
    // Rows for a settings list: for labelled keys one {"text","value","selected"} per allowed
    // value; for a favourite list one row per entry with "text" = display and "value" = raw
    // (each only when present). Empty for keys without allowed values or labels.
    virtual std::vector<PlistMap> getSettingsForTableView(const std::string& key) const;
    // Stores the allowed value at `index`; an index out of range or a key without allowed
    // values changes nothing (one line on standard error).
    virtual void setIndex(const std::string& key, int64_t index);

    // Allowed values and their labels, for tools that show them; absent when the key has none.
    std::optional<PlistList> getValidValues(const std::string& key) const;
    std::optional<std::vector<std::string>> getValidValuesText(const std::string& key) const;
    std::optional<PlistValue> getDefaultValue(const std::string& key) const;

    // --- Favourite lists: a list of {"raw": string, "display": string} under an Any key ---
    //
    // Each change reads the list, changes it and writes it back in one transaction on the
    // suite, so favourites that two programs change at the same time all survive.

    enum class ListChange {
        Changed,
        Unchanged,
        Failed
    };

    // Position of the entry with this raw identifier, or -1. Entries lacking a string "raw"
    // never match; a stored value that is not a list counts as an empty list.
    virtual int64_t getStringListIndex(const std::string& key, const std::string& raw) const;
    virtual bool getStringList(const std::string& key, const std::string& raw) const;
    // Adds {"raw","display"} unless the raw identifier is present, then sorts the list by
    // display text with the user's locale collation, ignoring case, keeping the order of
    // equal texts. A stored value that is not a list is replaced. Unchanged when the raw
    // identifier was present; Failed when the suite could not be read or written.
    virtual ListChange setStringList(const std::string& key, const std::string& raw, const std::string& display);
    // Removes the entry with this raw identifier; writes nothing (Unchanged) when there is none.
    virtual ListChange delStringList(const std::string& key, const std::string& raw);
    // Removes the entry at `index`; a missing list or an index out of range changes nothing.
    virtual ListChange delStringListByIndex(const std::string& key, int64_t index);

protected:
    // One kept value written back by the start-up check, inside its transaction.
    virtual void storeCheckedValue(UserDefaults& defaults, const std::string& key, const PlistValue& value);

private:
    // The write of `set` on an open suite; false when the value is refused.
    bool storeValue(UserDefaults& defaults, const std::string& key, const PlistValue& value);
    // Runs `edit` on the stored list of `key` (empty when it is not a list) in one
    // transaction; `edit` returns false to write nothing.
    ListChange changeList(const std::string& key, const std::function<bool(PlistList&)>& edit);
    void checkInside(UserDefaults& defaults);
    bool isCatalogueKey(const std::string& key) const;
};

// A fresh random (version 4) UUID in canonical upper-case 8-4-4-4-12 form.
std::string makeUuidString();

}  // namespace velmo
