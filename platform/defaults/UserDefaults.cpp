#include "platform/defaults/UserDefaults.h"

#include "platform/paths/UserFolders.h"

#include "platform/defaults/PlistCodec.h"

#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include <sys/stat.h>
#include <unistd.h>

namespace velmo {

namespace {

// Version of the table layout and value encoding, kept in PRAGMA user_version.
constexpr int formatVersion = 1;
constexpr int busyTimeoutMs = 5000;

struct FileId {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    auto operator<=>(const FileId&) const = default;
};

// What this process already knows, so that opening a suite per operation stays cheap: the
// files whose set-up and integrity check already passed (with whether a newer format wrote
// them), and the paths whose problem was already reported.
struct ProcessState {
    std::mutex mutex;
    std::map<FileId, bool> verifiedNewerFormat;
    std::set<std::string> reportedPaths;
    std::atomic<int> failedReads{0};
};

ProcessState& processState() {
    static ProcessState state;
    return state;
}

void report(const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
}

// Prints the message only for the first problem of this path in this process.
void reportOnce(const std::string& path, const std::string& message) {
    ProcessState& state = processState();
    std::unique_lock lock(state.mutex);
    if (state.reportedPaths.insert(path).second) {
        lock.unlock();
        report(message);
    }
}

bool isCorruption(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT;
}

// Another connection held the file for the whole busy time-out.
bool isBusy(int rc) {
    const int primary = rc & 0xFF;
    return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// Creates the folder and its missing parents with mode 0700.
bool makeFolders(const std::string& folder, std::string& error) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = std::strerror(errno);
            return false;
        }
        if (slash == std::string::npos) {
            break;
        }
    }
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        error = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = std::strerror(ENOTDIR);
        return false;
    }
    return true;
}

std::string utcTimestamp() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

// A suite name becomes a file name; path separators and dot names would leave the folder.
bool isValidSuiteName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::string executableName() {
    char buffer[4096];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0) {
        return program_invocation_short_name;
    }
    std::string path(buffer, static_cast<size_t>(length));
    // A binary replaced while running is shown as "<path> (deleted)".
    constexpr std::string_view deleted = " (deleted)";
    if (path.ends_with(deleted)) {
        path.resize(path.size() - deleted.size());
    }
    return path.substr(path.rfind('/') + 1);
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // The result of preparing; SQLITE_OK when the statement can run.
    int prepared() const { return rc_; }
    void bind(int index, const std::string& text) {
        sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    int step() { return sqlite3_step(stmt_); }
    std::string text(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        const int size = sqlite3_column_bytes(stmt_, column);
        return data == nullptr ? std::string() : std::string(data, static_cast<size_t>(size));
    }
    int integer(int column) const { return sqlite3_column_int(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
};

}  // namespace

struct UserDefaults::Impl {
    std::string name;
    std::string path;
    sqlite3* db = nullptr;
    bool writable = false;
    // Whether the file was set up and checked on this connection. Pending while another
    // program held it: the next use tries again, and only a use that fails is reported.
    enum class Check {
        Pending,
        Done,
        Failed
    };
    Check checked = Check::Pending;
    // False only for a file this connection cannot write that has no table yet: it reads as
    // an empty suite.
    bool hasTable = true;
    FileId file;
    // Nesting of transaction(): writes inside run on the open transaction.
    int depth = 0;
    bool transactionFailed = false;
    std::string lastError;

    ~Impl() { close(); }

    void close() {
        sqlite3_close_v2(db);
        db = nullptr;
        writable = false;
        checked = Check::Pending;
        hasTable = true;
    }

    std::string errorText() const { return db != nullptr ? sqlite3_errmsg(db) : "not open"; }

    // Why a step failed whose message is in lastError, for the user: a file that stayed busy
    // is named as such, whatever the step was.
    std::string failure(int rc) const {
        if (isBusy(rc)) {
            return "foglalt: egy másik program zárolja, és " + std::to_string(busyTimeoutMs / 1000) +
                   " másodperc várakozás után sem engedte el (" + lastError + ")";
        }
        return lastError;
    }

    int exec(const char* sql) {
        const int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            lastError = errorText();
        }
        return rc;
    }

    void open() {
        const std::string folder = configFolder();
        if (!isValidSuiteName(name)) {
            path = folder + "/" + name + ".sqlite";
            reportOnce(path, "érvénytelen beállításcsomag-név: \"" + name + "\"; a beállítások nem menthetők");
            return;
        }
        if (folder.empty()) {
            path = name + ".sqlite";
            reportOnce(path, "nincs saját mappa a(z) \"" + name + "\" beállításaihoz; a beállítások nem menthetők");
            return;
        }
        path = folder + "/" + name + ".sqlite";
        std::string error;
        if (!makeFolders(folder, error)) {
            reportOnce(path, "nem hozható létre a beállítások mappája: " + folder + ": " + error +
                                 "; a beállítások nem menthetők");
            return;
        }
        connect(false);
    }

    // Opens the connection and, once per process and file, sets the file up and checks it.
    // A file that is not a readable database is moved aside and a new one started.
    void connect(bool retryingAfterQuarantine) {
        if (openConnection()) {
            check(retryingAfterQuarantine);
        }
    }

    void check(bool retryingAfterQuarantine) {
        std::optional<bool> known;
        {
            ProcessState& state = processState();
            std::lock_guard lock(state.mutex);
            if (const auto it = state.verifiedNewerFormat.find(file); it != state.verifiedNewerFormat.end()) {
                known = it->second;
            }
        }
        if (known) {
            checked = Check::Done;
            applyFormat(*known);
            return;
        }
        bool newerFormat = false;
        const int rc = setUp(newerFormat);
        if (isCorruption(rc)) {
            if (retryingAfterQuarantine || !quarantine()) {
                close();
                return;
            }
            connect(true);
            return;
        }
        if (isBusy(rc)) {
            return;  // still pending
        }
        if (rc != SQLITE_OK) {
            reportOnce(path, "nem használható a beállítások fájlja: " + path + ": " + lastError +
                                 "; a beállítások nem menthetők");
            writable = false;
            checked = Check::Failed;
            return;
        }
        checked = Check::Done;
        // Set-up may have created the file, which gives it its identity.
        identifyFile();
        if (hasTable) {
            ProcessState& state = processState();
            std::lock_guard lock(state.mutex);
            state.verifiedNewerFormat[file] = newerFormat;
        }
        applyFormat(newerFormat);
    }

    // SQLITE_OK when the connection can be used: its check is done (a failed check leaves
    // the statements to fail on their own). A pending check is tried again first; its code
    // when it is still busy, and lastError says why.
    int ready() {
        if (db != nullptr && checked == Check::Pending) {
            check(false);
        }
        if (db == nullptr) {
            return SQLITE_CANTOPEN;  // opening has said why
        }
        return checked == Check::Pending ? SQLITE_BUSY : SQLITE_OK;
    }

    bool openConnection() {
        constexpr int common = SQLITE_OPEN_NOMUTEX;
        int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | common, nullptr);
        writable = rc == SQLITE_OK;
        if (writable && sqlite3_db_readonly(db, "main") == 1) {
            // SQLite falls back to reading a write-protected file without saying so.
            reportOnce(path, "a beállítások fájlja csak olvasható: " + path + "; a beállítások nem menthetők");
            writable = false;
        }
        if (rc != SQLITE_OK) {
            const std::string why = errorText();
            close();
            rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | common, nullptr);
            if (rc != SQLITE_OK) {
                close();
                reportOnce(path, "nem nyitható meg a beállítások fájlja: " + path + ": " + why +
                                     "; a beállítások nem menthetők");
                return false;
            }
            reportOnce(path, "a beállítások fájlja csak olvasható: " + path + "; a beállítások nem menthetők");
        }
        sqlite3_busy_timeout(db, busyTimeoutMs);
        identifyFile();
        return true;
    }

    void identifyFile() {
        struct stat st {};
        file = FileId{path, 0, 0};
        if (::stat(path.c_str(), &st) == 0) {
            file.device = st.st_dev;
            file.inode = st.st_ino;
        }
    }

    void applyFormat(bool newerFormat) {
        if (newerFormat && writable) {
            reportOnce(path, "a beállítások fájlját újabb változat írta: " + path + "; a beállítások nem menthetők");
            writable = false;
        }
    }

    // WAL mode, an integrity check, the table and the format version. The first statement
    // that reads the file reports SQLITE_NOTADB for a file of another kind. Only a file
    // without the table or of an older format is written, so opening a suite in use never
    // waits for the program writing it. lastError names the failing step.
    int setUp(bool& newerFormat) {
        const int rc = setUpSteps(newerFormat);
        if (rc != SQLITE_OK && !isCorruption(rc) && lastError.empty()) {
            lastError = errorText();
        }
        return rc;
    }

    int setUpSteps(bool& newerFormat) {
        lastError.clear();
        if (writable) {
            // Fails quietly (keeps the old mode) while another connection holds the file;
            // the next opener tries again.
            Statement wal(db, "PRAGMA journal_mode=WAL");
            if (wal.prepared() != SQLITE_OK) {
                return wal.prepared();
            }
            const int rc = wal.step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE && rc != SQLITE_BUSY) {
                return rc;
            }
        }
        {
            Statement check(db, "PRAGMA quick_check");
            if (check.prepared() != SQLITE_OK) {
                return check.prepared();
            }
            const int rc = check.step();
            if (rc != SQLITE_ROW) {
                return rc;
            }
            if (check.text(0) != "ok") {
                return SQLITE_CORRUPT;
            }
        }
        int version = 0;
        {
            Statement query(db, "PRAGMA user_version");
            if (query.prepared() != SQLITE_OK) {
                return query.prepared();
            }
            const int rc = query.step();
            if (rc != SQLITE_ROW) {
                return rc;
            }
            version = query.integer(0);
        }
        {
            Statement table(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'defaults'");
            if (table.prepared() != SQLITE_OK) {
                return table.prepared();
            }
            const int rc = table.step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
                return rc;
            }
            hasTable = rc == SQLITE_ROW;
        }
        newerFormat = version > formatVersion;
        if (!writable || newerFormat || (hasTable && version == formatVersion)) {
            return SQLITE_OK;
        }
        const std::string create =
            "BEGIN IMMEDIATE;"
            "CREATE TABLE IF NOT EXISTS defaults(key TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL)"
            " WITHOUT ROWID;" +
            (version < formatVersion ? "PRAGMA user_version=" + std::to_string(formatVersion) + ";" : std::string()) +
            "COMMIT;";
        const int rc = exec(create.c_str());
        if (rc != SQLITE_OK) {
            const std::string why = lastError;
            exec("ROLLBACK");
            lastError = why;
            return rc;
        }
        hasTable = true;
        return SQLITE_OK;
    }

    // Moves the unreadable file (and its -wal and -shm) to <path>.corrupt-<time>; never
    // overwrites an earlier one. False when the file could not be moved.
    bool quarantine() {
        // Closing the last connection would fold the journal into the damaged file and delete
        // it; keep both as they are.
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        close();
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || st.st_dev != file.device || st.st_ino != file.inode) {
            // Another process already moved it aside and may have started a new one.
            return true;
        }
        const std::string stem = path + ".corrupt-" + utcTimestamp();
        std::string target = stem;
        for (int n = 2; pathExists(target) || pathExists(target + "-wal"); ++n) {
            target = stem + "-" + std::to_string(n);
        }
        if (::rename(path.c_str(), target.c_str()) != 0) {
            const std::string why = std::strerror(errno);
            reportOnce(path, "a beállítások fájlja sérült, és nem tehető félre: " + path + ": " + why +
                                 "; a beállítások nem menthetők");
            return false;
        }
        for (const char* suffix : {"-wal", "-shm"}) {
            ::rename((path + suffix).c_str(), (target + suffix).c_str());
        }
        report("a beállítások fájlja sérült volt: " + path + "; félretéve ide: " + target +
               ", üres beállításokkal folytatjuk");
        return true;
    }

    // Called when a statement finds the file damaged after it was checked: forget the check
    // and open again, which moves the file aside.
    bool recover(int rc) {
        if (!isCorruption(rc) || depth > 0) {
            return false;
        }
        {
            ProcessState& state = processState();
            std::lock_guard lock(state.mutex);
            state.verifiedNewerFormat.erase(file);
        }
        close();
        connect(false);
        return db != nullptr;
    }

    // Runs one read. False when the suite could not be read: the caller then has an empty
    // result, the failure is counted (and reported once), and an open transaction fails.
    template <typename Read>
    bool read(const Read& body) {
        int rc = ready();
        if (rc == SQLITE_OK && hasTable) {
            rc = body();
            if (rc != SQLITE_OK) {
                lastError = errorText();
                if (recover(rc)) {
                    rc = ready();
                    if (rc == SQLITE_OK && hasTable) {
                        rc = body();
                        lastError = errorText();
                    }
                }
            }
        }
        if (rc == SQLITE_OK) {
            return true;
        }
        ++processState().failedReads;
        if (depth > 0) {
            transactionFailed = true;
        }
        if (db != nullptr) {  // a suite that could not be opened has said so already
            reportOnce(path, "nem olvasható a beállítások fájlja: " + path + ": " + failure(rc));
        }
        return false;
    }

    bool refuseWrite() {
        reportOnce(path, "nem írható a beállítások fájlja: " + path + "; a beállítások nem menthetők");
        return false;
    }

    // Runs one change as its own committed transaction, or inside the open one; false
    // (reported) when it was not saved.
    template <typename Change>
    bool write(const std::string& what, const Change& change) {
        if (db == nullptr || !writable) {
            return refuseWrite();
        }
        if (depth > 0) {
            const int rc = change();
            if (rc != SQLITE_OK) {
                transactionFailed = true;
                lastError = errorText();
                report("nem sikerült menteni (" + what + "): " + path + ": " + failure(rc));
                return false;
            }
            return true;
        }
        int rc = ready();
        if (rc == SQLITE_OK && !writable) {
            return refuseWrite();  // the check found a newer format
        }
        if (rc == SQLITE_OK) {
            rc = commitOne(change);
        }
        if (rc != SQLITE_OK && recover(rc) && writable) {
            rc = ready();
            if (rc == SQLITE_OK) {
                rc = commitOne(change);
            }
        }
        if (rc != SQLITE_OK) {
            report("nem sikerült menteni (" + what + "): " + path + ": " + failure(rc));
            return false;
        }
        return true;
    }

    template <typename Change>
    int commitOne(const Change& change) {
        int rc = exec("BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            return rc;
        }
        rc = change();
        if (rc == SQLITE_OK) {
            rc = exec("COMMIT");
        }
        if (rc != SQLITE_OK) {
            // Keep the message of the failing step, not that of the rollback.
            const std::string why = errorText();
            exec("ROLLBACK");
            lastError = why;
        }
        return rc;
    }

    int put(const std::string& key, const PlistValue& value) {
        Statement upsert(db,
                         "INSERT INTO defaults(key, value) VALUES(?1, ?2)"
                         " ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        if (upsert.prepared() != SQLITE_OK) {
            return upsert.prepared();
        }
        upsert.bind(1, key);
        upsert.bind(2, encodeStoredValue(value));
        const int rc = upsert.step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    int remove(const std::string& key) {
        Statement erase(db, "DELETE FROM defaults WHERE key = ?1");
        if (erase.prepared() != SQLITE_OK) {
            return erase.prepared();
        }
        erase.bind(1, key);
        const int rc = erase.step();
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    std::optional<PlistValue> get(const std::string& key) {
        std::optional<PlistValue> result;
        read([&] {
            result.reset();
            Statement query(db, "SELECT value FROM defaults WHERE key = ?1");
            if (query.prepared() != SQLITE_OK) {
                return query.prepared();
            }
            query.bind(1, key);
            const int rc = query.step();
            if (rc == SQLITE_ROW) {
                result = decodeStoredValue(query.text(0));
                return SQLITE_OK;
            }
            return rc == SQLITE_DONE ? SQLITE_OK : rc;
        });
        return result;
    }

    PlistMap all() {
        PlistMap result;
        read([&] {
            result.clear();
            Statement query(db, "SELECT key, value FROM defaults");
            if (query.prepared() != SQLITE_OK) {
                return query.prepared();
            }
            int rc = SQLITE_OK;
            while ((rc = query.step()) == SQLITE_ROW) {
                // A value this version cannot read is left out rather than shown as null.
                if (auto value = decodeStoredValue(query.text(1))) {
                    result.insert_or_assign(query.text(0), std::move(*value));
                }
            }
            return rc == SQLITE_DONE ? SQLITE_OK : rc;
        });
        return result;
    }
};

UserDefaults::UserDefaults(const std::string& suiteName) : impl_(std::make_unique<Impl>()) {
    impl_->name = suiteName;
    impl_->open();
}

UserDefaults::~UserDefaults() = default;

UserDefaults& UserDefaults::standard() {
    static UserDefaults defaults(executableName());
    return defaults;
}

std::string UserDefaults::configFolder() {
    const std::string home = configHome();
    return home.empty() ? std::string() : home + "/velmomac";
}

const std::string& UserDefaults::suiteName() const { return impl_->name; }

const std::string& UserDefaults::path() const { return impl_->path; }

bool UserDefaults::isWritable() const { return impl_->db != nullptr && impl_->writable; }

std::optional<PlistValue> UserDefaults::objectForKey(const std::string& key) const { return impl_->get(key); }

std::optional<std::string> UserDefaults::stringForKey(const std::string& key) const {
    if (const auto value = impl_->get(key)) {
        return value->toString();
    }
    return std::nullopt;
}

bool UserDefaults::boolForKey(const std::string& key) const { return impl_->get(key).value_or(PlistValue()).toBool(); }

int64_t UserDefaults::integerForKey(const std::string& key) const {
    return impl_->get(key).value_or(PlistValue()).toInteger();
}

float UserDefaults::floatForKey(const std::string& key) const {
    return impl_->get(key).value_or(PlistValue()).toFloat();
}

double UserDefaults::doubleForKey(const std::string& key) const {
    return impl_->get(key).value_or(PlistValue()).toDouble();
}

bool UserDefaults::setObject(const std::string& key, const PlistValue& value) {
    if (value.isNull()) {
        return removeObjectForKey(key);
    }
    return impl_->write("\"" + key + "\"", [&] { return impl_->put(key, value); });
}

bool UserDefaults::setBool(const std::string& key, bool value) { return setObject(key, PlistValue(value)); }

bool UserDefaults::setInteger(const std::string& key, int64_t value) { return setObject(key, PlistValue(value)); }

bool UserDefaults::setFloat(const std::string& key, float value) { return setObject(key, PlistValue(value)); }

bool UserDefaults::setDouble(const std::string& key, double value) { return setObject(key, PlistValue(value)); }

bool UserDefaults::removeObjectForKey(const std::string& key) {
    return impl_->write("\"" + key + "\" törlése", [&] { return impl_->remove(key); });
}

bool UserDefaults::removeAllObjects() {
    return impl_->write("minden beállítás törlése", [&] { return impl_->exec("DELETE FROM defaults"); });
}

PlistMap UserDefaults::dictionaryRepresentation() const { return impl_->all(); }

bool UserDefaults::synchronize() { return isWritable(); }

bool UserDefaults::transaction(const std::function<void()>& body) {
    Impl& d = *impl_;
    if (d.db == nullptr || !d.writable) {
        return d.refuseWrite();
    }
    if (d.depth > 0) {
        // A nested transaction is a savepoint of the open one.
        const std::string name = "nested" + std::to_string(d.depth);
        if (d.exec(("SAVEPOINT " + name).c_str()) != SQLITE_OK) {
            d.transactionFailed = true;
            return false;
        }
        ++d.depth;
        try {
            body();
        } catch (...) {
            --d.depth;
            d.exec(("ROLLBACK TO " + name + "; RELEASE " + name).c_str());
            throw;
        }
        --d.depth;
        return d.exec(("RELEASE " + name).c_str()) == SQLITE_OK && !d.transactionFailed;
    }

    int rc = d.ready();
    if (rc == SQLITE_OK && !d.writable) {
        return d.refuseWrite();  // the check found a newer format
    }
    if (rc == SQLITE_OK) {
        rc = d.exec("BEGIN IMMEDIATE");
    }
    if (rc != SQLITE_OK && d.recover(rc) && d.writable) {
        rc = d.ready();
        if (rc == SQLITE_OK) {
            rc = d.exec("BEGIN IMMEDIATE");
        }
    }
    if (rc != SQLITE_OK) {
        report("nem indítható tranzakció a beállításokon: " + d.path + ": " + d.failure(rc));
        return false;
    }
    d.depth = 1;
    d.transactionFailed = false;
    try {
        body();
    } catch (...) {
        d.depth = 0;
        d.exec("ROLLBACK");
        throw;
    }
    d.depth = 0;
    if (d.transactionFailed) {
        d.exec("ROLLBACK");
        return false;
    }
    rc = d.exec("COMMIT");
    if (rc != SQLITE_OK) {
        const std::string why = d.failure(rc);
        d.exec("ROLLBACK");
        report("nem sikerült menteni a beállításokat: " + d.path + ": " + why);
        return false;
    }
    return true;
}

bool UserDefaults::update(const std::string& key, const std::function<bool(std::optional<PlistValue>&)>& change) {
    return transaction([&] {
        std::optional<PlistValue> value = impl_->get(key);
        if (impl_->transactionFailed || !change(value)) {
            return;  // a failed read fails the transaction: nothing is written over an unread value
        }
        if (value && !value->isNull()) {
            setObject(key, *value);
        } else {
            removeObjectForKey(key);
        }
    });
}

int UserDefaults::failedReads() { return processState().failedReads.load(); }

}  // namespace velmo
