#include "AnswerStore.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <sqlite3.h>
#include <thread>
#include <utility>
#include <vector>

namespace hostmoor {

namespace {

// "HmAS" at offset 68 of the header: the file says whose it is.
constexpr int kApplicationId = 0x486d4153;
constexpr int kLayoutVersion = 1;
// Long enough for another process's batch to commit, short enough not to stall a job.
constexpr int kBusyTimeoutMs = 250;
constexpr std::size_t kBatch = 256;
// A busy file may hold back a few batches; each attempt has waited the busy time-out.
constexpr std::size_t kMostBuffered = 4 * kBatch;
constexpr std::int64_t kSweepInterval = 24 * 3600;
// Floors for the sweep and for removing met rows: one user's short ages must not wipe rows
// that other users, with the usual ages, still want.
constexpr std::int64_t kNameAgeFloor = 24 * 3600;
constexpr std::int64_t kFailureAgeFloor = 3600;
// A row a little ahead of this process's clock comes from a process that read its clock later;
// only a row well ahead comes from a clock that was set back, and only that one is removed.
constexpr std::int64_t kFutureSlack = 300;
constexpr int kSweepChunk = 1000;

constexpr const char* kCreateSchema = "CREATE TABLE IF NOT EXISTS answers("
                                      " addr BLOB NOT NULL PRIMARY KEY CHECK (length(addr) = 16),"
                                      " name TEXT NOT NULL,"
                                      " failed INTEGER NOT NULL,"
                                      " learned INTEGER NOT NULL) WITHOUT ROWID;"
                                      "CREATE TABLE IF NOT EXISTS meta("
                                      " one INTEGER PRIMARY KEY CHECK (one = 1),"
                                      " last_sweep INTEGER NOT NULL);";

// A row outworn even for the most patient user, or one well ahead of the clock.
constexpr const char* kOutworn =
    "(learned > ?2 OR (failed = 0 AND learned <= ?3) OR (failed <> 0 AND learned <= ?4))";

// now - age, held inside the range of int64 whatever the clock says.
std::int64_t Before(std::int64_t now, std::int64_t age) {
    std::int64_t result = 0;
    if (__builtin_sub_overflow(now, age, &result))
        return age > 0 ? std::numeric_limits<std::int64_t>::min()
                       : std::numeric_limits<std::int64_t>::max();
    return result;
}

// Written this way round, an entry from the future is never fresh.
bool Fresh(std::int64_t learned, std::int64_t now, std::int64_t maxAge) {
    return learned <= now && learned > Before(now, maxAge);
}

bool Busy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY;
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// One use of a prepared statement: binds, steps, and resets on the way out whatever happened,
// so that no statement keeps a read transaction open between calls.
class Use {
public:
    explicit Use(const Statement& statement) : fStatement(statement.get()) {}
    ~Use() { sqlite3_reset(fStatement); }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& Bind(int index, const AddressKey& key) {
        sqlite3_bind_blob(fStatement, index, key.data(), static_cast<int>(key.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    Use& Bind(int index, std::int64_t value) {
        sqlite3_bind_int64(fStatement, index, value);
        return *this;
    }
    // data() of an empty string is not null, so an empty name stays text, never NULL.
    Use& Bind(int index, const std::string& text) {
        sqlite3_bind_text(fStatement, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(fStatement); }
    sqlite3_stmt* Get() const { return fStatement; }

private:
    sqlite3_stmt* fStatement;
};

// BEGIN IMMEDIATE takes the write lock at once, so that the busy time-out covers the whole
// wait and nothing later in the transaction meets BUSY. Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : fDb(db) {}
    ~Transaction() {
        if (fBegun && !sqlite3_get_autocommit(fDb))
            sqlite3_exec(fDb, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    int Begin() {
        const int rc = sqlite3_exec(fDb, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        fBegun = rc == SQLITE_OK;
        return rc;
    }
    int Commit() { return sqlite3_exec(fDb, "COMMIT", nullptr, nullptr, nullptr); }

private:
    sqlite3* fDb;
    bool fBegun = false;
};

class SQLiteAnswerStore final : public IAnswerStore {
public:
    SQLiteAnswerStore(std::string path, StorePolicy policy,
                      std::function<void(const std::string&)> report)
        : fPath(std::move(path)), fPolicy(policy), fReport(std::move(report)) {}
    ~SQLiteAnswerStore() override { Close(); }
    SQLiteAnswerStore(const SQLiteAnswerStore&) = delete;
    SQLiteAnswerStore& operator=(const SQLiteAnswerStore&) = delete;

    void Open(std::int64_t now) {
        std::string report;
        {
            std::lock_guard guard(fLock);
            if (OpenLocked()) {
                fUsable.store(true);
                SweepIfDue(now);
            }
            report = Settle();
        }
        Tell(report);
    }

    StoreFind Find(const AddressKey& address, std::int64_t now) override {
        StoreFind found;
        std::string report;
        {
            std::lock_guard guard(fLock);
            if (fUsable.load())
                found = FindLocked(address, now);
            report = Settle();
        }
        Tell(report);
        return found;
    }

    void Remember(const StoredAnswer& answer) override {
        std::string report;
        {
            std::lock_guard guard(fLock);
            if (!fUsable.load())
                return;
            fBuffer.push_back(answer);
            if (fBuffer.size() % kBatch == 0)
                Write(false);
            report = Settle();
        }
        Tell(report);
    }

    void Flush() override {
        std::string report;
        {
            std::lock_guard guard(fLock);
            if (fUsable.load())
                Write(true);
            report = Settle();
        }
        Tell(report);
    }

    bool Usable() const override { return fUsable.load(); }

    StoreCounts Counts() const override {
        return {fFromStore.load(std::memory_order_relaxed),
                fExpiredMet.load(std::memory_order_relaxed)};
    }

private:
    struct MetRow {
        AddressKey Address;
        std::int64_t Learned;
    };
    struct Identity {
        std::int64_t ApplicationId = 0;
        std::int64_t Version = 0;
        std::int64_t Objects = 0; // tables and indexes already in the file
    };

    bool OpenLocked() {
        if (fPath.empty())
            return Fail(false,
                        "no path was given (neither XDG_CACHE_HOME nor HOME names a folder)");
        // A folder that cannot be made shows as the open's own failure.
        std::error_code ignored;
        const std::filesystem::path folder = std::filesystem::path(fPath).parent_path();
        if (!folder.empty())
            std::filesystem::create_directories(folder, ignored);

        const int rc = sqlite3_open_v2(
            fPath.c_str(), &fDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
            nullptr);
        if (rc != SQLITE_OK)
            return Failed(rc);
        sqlite3_extended_result_codes(fDb, 1);
        sqlite3_busy_timeout(fDb, kBusyTimeoutMs);
        // SQLite falls back to reading when it may not write; a cache it cannot fill is no use.
        if (sqlite3_db_readonly(fDb, "main") == 1)
            return Fail(false, "it can only be read");

        // Opening reads nothing: this first read finds a file that is no database, or a
        // damaged or locked one, before the job starts. Nothing is written before it passes.
        Identity identity;
        if (!ReadIdentity(identity) || !CheckIdentity(identity))
            return false;

        std::string mode;
        if (!SwitchToWal(mode))
            return false;
        if (mode != "wal")
            return Fail(false, "it cannot keep a write-ahead log (journal mode " + mode + ")");
        if (const int r = sqlite3_exec(fDb, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr))
            return Failed(r);

        if (identity.ApplicationId == 0 && !CreateLayout())
            return false;
        return Prepare(fFind, "SELECT name, failed, learned FROM answers WHERE addr = ?1") &&
               Prepare(fUpsert,
                       "INSERT INTO answers(addr, name, failed, learned) VALUES(?1, ?2, ?3, ?4)"
                       " ON CONFLICT(addr) DO UPDATE SET name = excluded.name,"
                       " failed = excluded.failed, learned = excluded.learned"
                       " WHERE excluded.learned >= answers.learned") &&
               Prepare(fForget, "DELETE FROM answers WHERE addr = ?1 AND learned = ?2");
    }

    bool ReadIdentity(Identity& identity) {
        Statement statement;
        if (!Prepare(statement, "SELECT (SELECT application_id FROM pragma_application_id),"
                                " (SELECT user_version FROM pragma_user_version),"
                                " (SELECT count(*) FROM sqlite_schema)"))
            return false;
        Use use(statement);
        const int rc = use.Step();
        if (rc != SQLITE_ROW)
            return Failed(rc);
        identity.ApplicationId = sqlite3_column_int64(use.Get(), 0);
        identity.Version = sqlite3_column_int64(use.Get(), 1);
        identity.Objects = sqlite3_column_int64(use.Get(), 2);
        return true;
    }

    // True for our own file of this layout, or an empty one still to be laid out.
    bool CheckIdentity(const Identity& identity) {
        if (identity.ApplicationId == 0) {
            if (identity.Objects > 0)
                return Fail(true, "it holds another program's tables");
            return true;
        }
        if (identity.ApplicationId != kApplicationId)
            return Fail(true, "it belongs to another program (application id " +
                                  std::to_string(identity.ApplicationId) + ")");
        if (identity.Version > kLayoutVersion)
            return Fail(true, "it was written by a later Hostmoor (layout " +
                                  std::to_string(identity.Version) + ")");
        if (identity.Version != kLayoutVersion)
            return Fail(true, "its layout is unknown (" + std::to_string(identity.Version) + ")");
        return true;
    }

    // Two first runs may race here: the write lock decides, and the loser finds the layout made.
    bool CreateLayout() {
        Transaction transaction(fDb);
        if (const int rc = transaction.Begin())
            return Failed(rc);
        Identity identity;
        if (!ReadIdentity(identity) || !CheckIdentity(identity))
            return false;
        if (identity.ApplicationId == kApplicationId)
            return true;
        const std::string make = std::string(kCreateSchema) +
                                 "INSERT OR IGNORE INTO meta(one, last_sweep) VALUES(1, 0);"
                                 "PRAGMA application_id=" +
                                 std::to_string(kApplicationId) +
                                 ";"
                                 "PRAGMA user_version=" +
                                 std::to_string(kLayoutVersion) + ";";
        if (const int rc = sqlite3_exec(fDb, make.c_str(), nullptr, nullptr, nullptr))
            return Failed(rc);
        if (const int rc = transaction.Commit())
            return Failed(rc);
        return true;
    }

    StoreFind FindLocked(const AddressKey& address, std::int64_t now) {
        StoreFind found;
        Use use(fFind);
        use.Bind(1, address);
        const int rc = use.Step();
        if (rc == SQLITE_DONE)
            return found;
        if (rc != SQLITE_ROW) {
            Failed(rc);
            return found;
        }
        const bool failed = sqlite3_column_int(use.Get(), 1) != 0;
        const std::int64_t learned = sqlite3_column_int64(use.Get(), 2);
        if (!Fresh(learned, now, failed ? fPolicy.FailureMaxAge : fPolicy.NameMaxAge)) {
            found.Result = StoreResult::Expired;
            fExpiredMet.fetch_add(1, std::memory_order_relaxed);
            if (fMet.size() < kMostBuffered && Outworn(learned, failed, now))
                fMet.push_back({address, learned});
            return found;
        }
        found.Result = StoreResult::Hit;
        found.Failed = failed;
        if (!failed) {
            const auto* text = sqlite3_column_text(use.Get(), 0);
            const int bytes = sqlite3_column_bytes(use.Get(), 0);
            if (text)
                found.Name.assign(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(bytes));
        }
        fFromStore.fetch_add(1, std::memory_order_relaxed);
        return found;
    }

    std::int64_t NameCut(std::int64_t now) const {
        return Before(now, std::max(fPolicy.NameMaxAge, kNameAgeFloor));
    }
    std::int64_t FailureCut(std::int64_t now) const {
        return Before(now, std::max(fPolicy.FailureMaxAge, kFailureAgeFloor));
    }
    static std::int64_t FutureCut(std::int64_t now) { return Before(now, -kFutureSlack); }
    bool Outworn(std::int64_t learned, bool failed, std::int64_t now) const {
        return learned > FutureCut(now) || learned <= (failed ? FailureCut(now) : NameCut(now));
    }

    // Removes the outworn rows Find met (unless another process has renewed them since), then
    // writes the buffered answers; the newest answer wins, whoever wrote it. A busy file keeps
    // the buffer for the next batch; the last attempt, or a full buffer, gives up.
    void Write(bool last) {
        if (fBuffer.empty() && fMet.empty())
            return;
        Transaction transaction(fDb);
        if (const int rc = transaction.Begin()) {
            if (!(Busy(rc) && !last && fBuffer.size() < kMostBuffered))
                Failed(rc);
            return;
        }
        for (const MetRow& row : fMet) {
            Use use(fForget);
            const int rc = use.Bind(1, row.Address).Bind(2, row.Learned).Step();
            if (rc != SQLITE_DONE) {
                Failed(rc);
                return;
            }
        }
        for (const StoredAnswer& answer : fBuffer) {
            Use use(fUpsert);
            const int rc = use.Bind(1, answer.Address)
                               .Bind(2, answer.Failed ? std::string() : answer.Name)
                               .Bind(3, std::int64_t{answer.Failed ? 1 : 0})
                               .Bind(4, answer.Learned)
                               .Step();
            if (rc != SQLITE_DONE) {
                Failed(rc);
                return;
            }
        }
        if (const int rc = transaction.Commit()) {
            Failed(rc);
            return;
        }
        fBuffer.clear();
        fMet.clear();
    }

    // At most once a day across every process: the first transaction claims the sweep, then
    // outworn rows go in chunks, each in a short transaction of its own, walking the key
    // order so that the whole sweep reads the table once. Another writer only postpones it.
    void SweepIfDue(std::int64_t now) {
        Statement readLast, claim, edge, remove;
        if (!Prepare(readLast, "SELECT last_sweep FROM meta WHERE one = 1") ||
            !Prepare(claim, "INSERT OR REPLACE INTO meta(one, last_sweep) VALUES(1, ?1)"))
            return;
        const auto due = [&](bool& isDue) {
            Use use(readLast);
            const int rc = use.Step();
            if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                return SweepFailed(rc);
            const std::int64_t last = rc == SQLITE_ROW ? sqlite3_column_int64(use.Get(), 0) : 0;
            isDue = last > now || last <= Before(now, kSweepInterval);
            return true;
        };
        bool isDue = false;
        if (!due(isDue) || !isDue)
            return;
        {
            Transaction transaction(fDb);
            if (const int rc = transaction.Begin()) {
                SweepFailed(rc);
                return;
            }
            if (!due(isDue) || !isDue)
                return;
            Use use(claim);
            if (const int rc = use.Bind(1, now).Step(); rc != SQLITE_DONE) {
                SweepFailed(rc);
                return;
            }
            if (const int rc = transaction.Commit()) {
                SweepFailed(rc);
                return;
            }
        }

        const std::string outworn = kOutworn;
        if (!Prepare(edge, "SELECT max(addr) FROM (SELECT addr FROM answers WHERE addr > ?1 AND " +
                               outworn + " ORDER BY addr LIMIT " + std::to_string(kSweepChunk) +
                               ")") ||
            !Prepare(remove, "DELETE FROM answers WHERE addr > ?1 AND addr <= ?5 AND " + outworn))
            return;
        std::vector<std::uint8_t> after; // the empty blob sorts before every key
        for (;;) {
            Transaction transaction(fDb);
            if (const int rc = transaction.Begin()) {
                SweepFailed(rc);
                return;
            }
            std::vector<std::uint8_t> upTo;
            {
                Use use(edge);
                BindSweep(use, after, now);
                const int rc = use.Step();
                if (rc != SQLITE_ROW) {
                    SweepFailed(rc);
                    return;
                }
                const auto* blob =
                    static_cast<const std::uint8_t*>(sqlite3_column_blob(use.Get(), 0));
                if (!blob)
                    return; // nothing outworn is left
                upTo.assign(blob, blob + sqlite3_column_bytes(use.Get(), 0));
            }
            {
                Use use(remove);
                BindSweep(use, after, now);
                sqlite3_bind_blob(use.Get(), 5, upTo.data(), static_cast<int>(upTo.size()),
                                  SQLITE_TRANSIENT);
                if (const int rc = use.Step(); rc != SQLITE_DONE) {
                    SweepFailed(rc);
                    return;
                }
            }
            if (const int rc = transaction.Commit()) {
                SweepFailed(rc);
                return;
            }
            after = std::move(upTo);
        }
    }

    void BindSweep(Use& use, const std::vector<std::uint8_t>& after, std::int64_t now) const {
        static const std::uint8_t kNone = 0;
        sqlite3_bind_blob(use.Get(), 1, after.empty() ? &kNone : after.data(),
                          static_cast<int>(after.size()), SQLITE_TRANSIENT);
        use.Bind(2, FutureCut(now)).Bind(3, NameCut(now)).Bind(4, FailureCut(now));
    }

    // The sweep can wait for another day; only a real fault of the file is reported.
    bool SweepFailed(int rc) { return Busy(rc) ? false : Failed(rc); }

    bool Prepare(Statement& statement, const std::string& sql) {
        sqlite3_stmt* raw = nullptr;
        const int rc =
            sqlite3_prepare_v3(fDb, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
        statement.reset(raw);
        return rc == SQLITE_OK || Failed(rc);
    }

    // Two first runs may switch a new file at once. Each holds its read lock while it asks
    // for the write lock, so SQLite answers BUSY at once instead of waiting: retry, within
    // the busy time-out. Once the file is in WAL mode, this only reads.
    bool SwitchToWal(std::string& mode) {
        const auto giveUp =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            Statement statement;
            if (!Prepare(statement, "PRAGMA journal_mode=WAL"))
                return false;
            Use use(statement);
            const int rc = use.Step();
            if (rc == SQLITE_ROW) {
                const auto* value = sqlite3_column_text(use.Get(), 0);
                mode = value ? reinterpret_cast<const char*>(value) : "";
                return true;
            }
            if (!Busy(rc) || std::chrono::steady_clock::now() > giveUp)
                return Failed(rc);
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // A file that is not ours, not a database or damaged is unusable; anything else (busy,
    // read-only, full, an I/O error, no way to open it) is unavailable. Either way it is off.
    bool Failed(int rc) {
        const int primary = rc & 0xff;
        const bool unusable = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
        const char* why = fDb ? sqlite3_errmsg(fDb) : sqlite3_errstr(rc);
        return Fail(unusable, std::string(why) + " (SQLite code " + std::to_string(rc) + ")");
    }

    // Keeps the first failure only; the connection is closed once every guard has let go.
    bool Fail(bool unusable, const std::string& reason) {
        fUsable.store(false);
        if (fFailed)
            return false;
        fFailed = true;
        fPendingReport = "Answer store " + fPath +
                         (unusable ? " is unusable: " : " is unavailable: ") + reason +
                         "; going on without it for this run";
        return false;
    }

    // After each operation, with no statement or transaction left in use.
    std::string Settle() {
        if (fFailed && fDb) {
            fBuffer.clear();
            fMet.clear();
            Close();
        }
        return std::exchange(fPendingReport, {});
    }

    void Close() {
        fFind.reset();
        fUpsert.reset();
        fForget.reset();
        if (fDb)
            sqlite3_close_v2(fDb);
        fDb = nullptr;
    }

    void Tell(const std::string& report) const {
        if (!report.empty() && fReport)
            fReport(report);
    }

    const std::string fPath;
    const StorePolicy fPolicy;
    const std::function<void(const std::string&)> fReport;

    std::mutex fLock; // one connection, used by one thread at a time
    sqlite3* fDb = nullptr;
    Statement fFind, fUpsert, fForget;
    std::vector<StoredAnswer> fBuffer;
    std::vector<MetRow> fMet;
    bool fFailed = false;
    std::string fPendingReport;

    std::atomic<bool> fUsable{false};
    std::atomic<std::uint64_t> fFromStore{0};
    std::atomic<std::uint64_t> fExpiredMet{0};
};

} // namespace

std::unique_ptr<IAnswerStore> OpenAnswerStore(const std::string& path, StorePolicy policy,
                                              std::function<void(const std::string&)> report,
                                              std::int64_t now) {
    auto store = std::make_unique<SQLiteAnswerStore>(path, policy, std::move(report));
    store->Open(now);
    return store;
}

std::string DefaultAnswerStorePath() {
    std::string base;
    const char* cache = std::getenv("XDG_CACHE_HOME");
    if (cache && cache[0] == '/') {
        base = cache;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/')
            return {};
        base = std::string(home) + "/.cache";
    }
    return base + "/hostmoor/answers.sqlite";
}

bool ParseDuration(std::string_view text, std::int64_t& seconds) {
    constexpr std::string_view kUnits = "smhd";
    constexpr std::int64_t kUnitSeconds[] = {1, 60, 3600, 24 * 3600};
    std::int64_t unit = 1;
    if (const auto at = text.empty() ? kUnits.npos : kUnits.find(text.back()); at != kUnits.npos) {
        unit = kUnitSeconds[at];
        text.remove_suffix(1);
    }
    if (text.empty())
        return false;
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9' || __builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, c - '0', &value))
            return false;
    }
    if (value == 0 || __builtin_mul_overflow(value, unit, &value))
        return false;
    seconds = value;
    return true;
}

} // namespace hostmoor
