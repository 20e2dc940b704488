#pragma once
// Our stand-in for the platform's user defaults: a named suite of property-list values.
//
// A suite is one SQLite database at $XDG_CONFIG_HOME/velmomac/<name>.sqlite (~/.config when
// the variable is unset; the folder is created 0700). Every write is one committed
// transaction, so another process sees it at once; WAL mode and a busy time-out let two
// programs write at the same time without failing. Reads and writes never throw: a suite
// that cannot be opened or written reads as empty (typed readers give their defaults) and
// reports one line on standard error naming the path. Writes say whether they were saved,
// and failedReads() tells a caller that a read gave a default instead of the stored value.
// A write that had to wait for another program and then went through is not a failure; one
// that waited the whole busy time-out in vain says that the file was busy.

#include "platform/defaults/PlistValue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace velmo {

class UserDefaults {
public:
    // Opens (creating when needed) the suite with this name. A file that is not a readable
    // database is moved aside as <name>.sqlite.corrupt-<timestamp> and an empty suite started.
    explicit UserDefaults(const std::string& suiteName);
    ~UserDefaults();
    UserDefaults(const UserDefaults&) = delete;
    UserDefaults& operator=(const UserDefaults&) = delete;

    // The running program's own suite, named after its executable.
    static UserDefaults& standard();

    // The folder that holds every suite: $XDG_CONFIG_HOME/velmomac or ~/.config/velmomac.
    static std::string configFolder();

    const std::string& suiteName() const;
    const std::string& path() const;
    // False when the suite could not be opened for writing; reads then return defaults.
    bool isWritable() const;

    // The stored value, or absent.
    std::optional<PlistValue> objectForKey(const std::string& key) const;
    // A string value as it is stored; absent for a missing key or another kind.
    std::optional<std::string> stringForKey(const std::string& key) const;
    // Typed readers (the conversion table in PlistValue.h); an absent key reads false or 0.
    bool boolForKey(const std::string& key) const;
    int64_t integerForKey(const std::string& key) const;
    float floatForKey(const std::string& key) const;
    double doubleForKey(const std::string& key) const;

    // Typed writers store exactly that kind. setObject with a null value removes the key.
    // Each returns whether the change was saved (inside transaction(): whether it was made);
    // a failure is reported on standard error.
    bool setObject(const std::string& key, const PlistValue& value);
    bool setBool(const std::string& key, bool value);
    bool setInteger(const std::string& key, int64_t value);
    bool setFloat(const std::string& key, float value);
    bool setDouble(const std::string& key, double value);
    bool removeObjectForKey(const std::string& key);
    // Removes every key of the suite in one transaction.
    bool removeAllObjects();

    // Every stored key with its value.
    PlistMap dictionaryRepresentation() const;

    // Writes are committed as they happen; kept for callers written against the platform.
    bool synchronize();

    // Runs `body` inside one write transaction on this suite: the reads and writes made
    // through this object inside it see one consistent state, and are committed together
    // when `body` returns (rolled back if it throws). Other writers wait for it to end.
    // Returns false when the transaction could not be started or committed, or when a read or
    // a write inside it failed (nothing is committed then).
    bool transaction(const std::function<void()>& body);

    // Reads the value of `key` (absent when there is none), lets `change` alter it and writes
    // it back, all in one write transaction, so that a change another program makes at the
    // same time is never lost. Setting the value absent or null removes the key; `change`
    // returns false to leave the stored value as it is. False when the suite could not be
    // read or written: nothing is changed then, and `change` is not called when the read failed.
    bool update(const std::string& key, const std::function<bool(std::optional<PlistValue>&)>& change);

    // How many reads in this process so far could not read their suite and gave an empty or
    // default result instead; a caller that must not show a default as stored compares it
    // before and after its reads.
    static int failedReads();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace velmo
