// The answer store on SQLite: opening and laying out the file, finding answers, and writing
// them back in batches. The file's trust checks are in StoreFile, the ages in StoreExpiry, the
// daily sweep in StoreSweep.
#include "AnswerStore.h"

#include "StoreExpiry.h"
#include "StoreFile.h"
#include "StoreSQLite.h"
#include "StoreSweep.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace hostmoor {

using namespace store;

namespace {

// "HmAS" at offset 68 of the header: the file says whose it is.
constexpr int kApplicationId = 0x486d4153;
// 2: failures for want of an answer, confirmed names, a sweep that resumes. A file of layout 1
// is brought up to date when it is opened.
constexpr int kLayoutVersion = 2;
// Long enough for another process's batch to commit, short enough not to stall a job.
constexpr int kBusyTimeoutMs = 250;
constexpr std::size_t kBatch = 256;
// A busy file may hold back a few batches; beyond that the oldest answers are dropped (counted).
constexpr std::size_t kMostBuffered = 4 * kBatch;
// How long the last flush keeps trying a file that another writer holds.
constexpr auto kFlushPatience = std::chrono::seconds(2);

constexpr const char* kCreateSchema =
    "CREATE TABLE IF NOT EXISTS answers("
    " addr BLOB NOT NULL PRIMARY KEY CHECK (length(addr) = 16),"
    " name TEXT NOT NULL,"
    " failed INTEGER NOT NULL," // 0: a name; 1: no such name, or no data; 2: no answer
    " learned INTEGER NOT NULL,"
    " confirmed INTEGER NOT NULL DEFAULT 0) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS meta("
    " one INTEGER PRIMARY KEY CHECK (one = 1),"
    " last_sweep INTEGER NOT NULL,"
    " sweep_cursor BLOB,"
    " sweep_lease INTEGER NOT NULL DEFAULT 0);";

constexpr const char* kFromLayout1 = "ALTER TABLE answers ADD COLUMN confirmed INTEGER NOT NULL "
                                     "DEFAULT 0;"
                                     "ALTER TABLE meta ADD COLUMN sweep_cursor BLOB;"
                                     "ALTER TABLE meta ADD COLUMN sweep_lease INTEGER NOT NULL "
                                     "DEFAULT 0;";

// What the "confirmed" column keeps: a verdict on a name, else 0 (not looked at). No answer
// from the name's servers is kept too, and believed only as long as a failure for want of an
// answer, counted from when the row was learned.
int KeptVerdict(const StoredAnswer& answer) {
    const bool verdict = answer.Confirmed == Confirmation::Confirmed ||
                         answer.Confirmed == Confirmation::Refuted ||
                         answer.Confirmed == Confirmation::NoAnswer;
    return !answer.Failed && verdict ? static_cast<int>(answer.Confirmed) : 0;
}

class SQLiteAnswerStore final : public IAnswerStore {
public:
    SQLiteAnswerStore(std::string path, StorePolicy policy,
                      std::function<void(const std::string&)> report)
        : fPath(std::move(path)), fPolicy(policy), fReport(std::move(report)) {}
    ~SQLiteAnswerStore() override {
        fSweep.reset();
        Close();
    }
    SQLiteAnswerStore(const SQLiteAnswerStore&) = delete;
    SQLiteAnswerStore& operator=(const SQLiteAnswerStore&) = delete;

    void Open(std::int64_t now) {
        std::string report;
        bool opened = false;
        {
            std::lock_guard guard(fLock);
            opened = OpenLocked(now);
            fUsable.store(opened);
            report = Settle();
        }
        Tell(report);
        if (opened)
            fSweep = std::make_unique<BackgroundSweep>(fPath, now);
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
            if (fBuffer.size() >= fWriteAt) {
                Write(false);
                fWriteAt = fBuffer.size() + kBatch;
            }
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
            fWriteAt = fBuffer.size() + kBatch;
            report = Settle();
        }
        Tell(report);
    }

    bool Usable() const override { return fUsable.load(); }

    StoreCounts Counts() const override {
        return {fFromStore.load(std::memory_order_relaxed),
                fExpiredMet.load(std::memory_order_relaxed),
                fUnwritten.load(std::memory_order_relaxed),
                fBusyRetries.load(std::memory_order_relaxed)};
    }

private:
    // A file that is not ours, not a database or damaged is unusable; one that is not the
    // user's own, or that others may write, is not used; anything else (busy, read-only, full,
    // an I/O error, no way to open it) is unavailable. Whichever, the store is off.
    enum class Fault { Unusable, Distrusted, Unavailable };
    struct MetRow {
        AddressKey Address;
        std::int64_t Learned;
    };
    struct Identity {
        std::int64_t ApplicationId = 0;
        std::int64_t Version = 0;
        std::int64_t Objects = 0; // tables and indexes already in the file
    };

    bool OpenLocked(std::int64_t now) {
        if (fPath.empty())
            return Fail(Fault::Unavailable,
                        "no path was given (neither XDG_CACHE_HOME nor HOME names a folder)");
        std::string problem;
        bool distrusted = false;
        if (!PrepareStoreFile(fPath, problem, distrusted))
            return Fail(distrusted ? Fault::Distrusted : Fault::Unavailable, problem);

        const int rc = sqlite3_open_v2(fPath.c_str(), &fDb,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
        if (rc != SQLITE_OK)
            return Failed(rc);
        sqlite3_extended_result_codes(fDb, 1);
        sqlite3_busy_timeout(fDb, kBusyTimeoutMs);
        // SQLite falls back to reading when it may not write; a cache it cannot fill is no use.
        if (sqlite3_db_readonly(fDb, "main") == 1)
            return Fail(Fault::Unavailable, "it can only be read");

        // Opening reads nothing: this first read finds a file that is no database, or a
        // damaged or locked one, before the job starts. Nothing is written before it passes.
        Identity identity;
        if (!ReadIdentity(identity) || !CheckIdentity(identity))
            return false;
        // A new file gives the space of removed rows back; this must be set before its first
        // table, and before the switch to WAL writes its first page.
        if (identity.ApplicationId == 0 && !Exec("PRAGMA auto_vacuum=INCREMENTAL"))
            return false;

        std::string mode;
        if (!SwitchToWal(mode))
            return false;
        if (mode != "wal")
            return Fail(Fault::Unavailable,
                        "it cannot keep a write-ahead log (journal mode " + mode + ")");
        if (!Exec("PRAGMA synchronous=NORMAL"))
            return false;
        if (identity.Version != kLayoutVersion && !LayOut(now))
            return false;
        return PrepareStatement(
                   fFind, "SELECT name, failed, learned, confirmed FROM answers WHERE addr = ?1") &&
               PrepareStatement(
                   fUpsert,
                   "INSERT INTO answers(addr, name, failed, learned, confirmed)"
                   " VALUES(?1, ?2, ?3, ?4, ?5)"
                   " ON CONFLICT(addr) DO UPDATE SET name = excluded.name,"
                   " failed = excluded.failed, learned = excluded.learned,"
                   " confirmed = excluded.confirmed WHERE excluded.learned >= answers.learned") &&
               PrepareStatement(fForget, "DELETE FROM answers WHERE addr = ?1 AND learned = ?2");
    }

    bool Exec(const std::string& sql) {
        const int rc = sqlite3_exec(fDb, sql.c_str(), nullptr, nullptr, nullptr);
        return rc == SQLITE_OK || Failed(rc);
    }

    bool PrepareStatement(Statement& statement, const std::string& sql) {
        const int rc = Prepare(fDb, statement, sql);
        return rc == SQLITE_OK || Failed(rc);
    }

    bool ReadIdentity(Identity& identity) {
        Statement statement;
        if (!PrepareStatement(statement,
                              "SELECT (SELECT application_id FROM pragma_application_id),"
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

    // True for our own file of this layout or the one before, or an empty one to be laid out.
    bool CheckIdentity(const Identity& identity) {
        if (identity.ApplicationId == 0) {
            if (identity.Objects > 0)
                return Fail(Fault::Unusable, "it holds another program's tables");
            return true;
        }
        if (identity.ApplicationId != kApplicationId)
            return Fail(Fault::Unusable, "it belongs to another program (application id " +
                                             std::to_string(identity.ApplicationId) + ")");
        if (identity.Version > kLayoutVersion)
            return Fail(Fault::Unusable, "it was written by a later Hostmoor (layout " +
                                             std::to_string(identity.Version) + ")");
        if (identity.Version != kLayoutVersion && identity.Version != 1)
            return Fail(Fault::Unusable,
                        "its layout is unknown (" + std::to_string(identity.Version) + ")");
        return true;
    }

    // Lays out a new file, or brings one of the layout before up to date. Two first runs may
    // race here: the write lock decides, and the loser finds the work done.
    bool LayOut(std::int64_t now) {
        Transaction transaction(fDb);
        if (const int rc = transaction.Begin())
            return Failed(rc);
        Identity identity;
        if (!ReadIdentity(identity) || !CheckIdentity(identity))
            return false;
        if (identity.Version == kLayoutVersion)
            return true;
        std::string change = identity.ApplicationId == 0
                                 ? std::string(kCreateSchema) +
                                       "INSERT OR IGNORE INTO meta(one, last_sweep) VALUES(1, " +
                                       std::to_string(now) + ");"
                                 : std::string(kFromLayout1);
        change += "PRAGMA application_id=" + std::to_string(kApplicationId) +
                  ";PRAGMA user_version=" + std::to_string(kLayoutVersion) + ";";
        if (!Exec(change))
            return false;
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
        const int failed = sqlite3_column_int(use.Get(), 1);
        const RowKind kind = failed == 0   ? RowKind::Name
                             : failed == 2 ? RowKind::NoAnswer
                                           : RowKind::NoName;
        const std::int64_t learned = sqlite3_column_int64(use.Get(), 2);
        if (!Fresh(learned, now, MaxAge(fPolicy, kind))) {
            found.Result = StoreResult::Expired;
            fExpiredMet.fetch_add(1, std::memory_order_relaxed);
            if (fMet.size() < kMostBuffered && Outworn(learned, kind, now))
                fMet.push_back({address, learned});
            return found;
        }
        found.Result = StoreResult::Hit;
        found.Failed = kind != RowKind::Name;
        found.Learned = learned;
        if (!found.Failed) {
            // Only the verdicts are kept; anything else was not looked at. No answer is
            // looked at again once a failure of that kind would be.
            const int confirmed = sqlite3_column_int(use.Get(), 3);
            const bool lasting = confirmed == static_cast<int>(Confirmation::Confirmed) ||
                                 confirmed == static_cast<int>(Confirmation::Refuted);
            const bool brief = confirmed == static_cast<int>(Confirmation::NoAnswer) &&
                               Fresh(learned, now, MaxAge(fPolicy, RowKind::NoAnswer));
            found.Confirmed =
                lasting || brief ? static_cast<Confirmation>(confirmed) : Confirmation::Unchecked;
            found.CheckOutworn = confirmed == static_cast<int>(Confirmation::NoAnswer) && !brief;
            const auto* text = sqlite3_column_text(use.Get(), 0);
            const int bytes = sqlite3_column_bytes(use.Get(), 0);
            if (text)
                found.Name.assign(reinterpret_cast<const char*>(text),
                                  static_cast<std::size_t>(bytes));
        }
        fFromStore.fetch_add(1, std::memory_order_relaxed);
        return found;
    }

    // One transaction: removes the outworn rows Find met (unless another process has renewed
    // them since), then writes up to a batch of answers; the newest answer wins, whoever wrote
    // it. Gives the result code and how many answers it wrote.
    int WriteBatch(std::size_t& written) {
        written = 0;
        Transaction transaction(fDb);
        if (const int rc = transaction.Begin())
            return rc;
        for (const MetRow& row : fMet) {
            Use use(fForget);
            if (const int rc = use.Bind(1, row.Address).Bind(2, row.Learned).Step();
                rc != SQLITE_DONE)
                return rc;
        }
        const std::size_t count = std::min(fBuffer.size(), kBatch);
        for (std::size_t i = 0; i < count; ++i) {
            const StoredAnswer& answer = fBuffer[i];
            Use use(fUpsert);
            const int rc = use.Bind(1, answer.Address)
                               .Bind(2, answer.Failed ? std::string() : answer.Name)
                               .Bind(3, std::int64_t{static_cast<int>(KindOf(answer))})
                               .Bind(4, answer.Learned)
                               .Bind(5, std::int64_t{KeptVerdict(answer)})
                               .Step();
            if (rc != SQLITE_DONE)
                return rc;
        }
        if (const int rc = transaction.Commit())
            return rc;
        fMet.clear();
        written = count;
        return SQLITE_OK;
    }

    // Writes the buffer in batches, each in a short transaction. A file another writer holds
    // keeps the buffer for the next time, its oldest answers dropped beyond a few batches; the
    // last write tries again for a while, and then counts what it could not write and gives up.
    void Write(bool last) {
        const auto giveUp = std::chrono::steady_clock::now() + kFlushPatience;
        while (!fBuffer.empty() || !fMet.empty()) {
            std::size_t written = 0;
            const int rc = WriteBatch(written);
            if (rc == SQLITE_OK) {
                fBuffer.erase(fBuffer.begin(), fBuffer.begin() + static_cast<long>(written));
                continue;
            }
            if (!Busy(rc)) {
                Drop(fBuffer.size());
                Failed(rc);
                return;
            }
            fBusyRetries.fetch_add(1, std::memory_order_relaxed);
            if (!last) {
                if (fBuffer.size() > kMostBuffered)
                    Drop(fBuffer.size() - kMostBuffered);
                return;
            }
            if (std::chrono::steady_clock::now() >= giveUp) {
                const std::size_t lost = fBuffer.size();
                Drop(lost);
                Fail(Fault::Unavailable, "another program kept it locked for " +
                                             std::to_string(kFlushPatience.count()) + " s, and " +
                                             std::to_string(lost) +
                                             " answers of this run were not written");
                return;
            }
        }
    }

    // Drops the oldest answers of the buffer, counted.
    void Drop(std::size_t count) {
        fUnwritten.fetch_add(count, std::memory_order_relaxed);
        fBuffer.erase(fBuffer.begin(), fBuffer.begin() + static_cast<long>(count));
    }

    // Two first runs may switch a new file at once. Each holds its read lock while it asks
    // for the write lock, so SQLite answers BUSY at once instead of waiting: retry, within
    // the busy time-out. Once the file is in WAL mode, this only reads.
    bool SwitchToWal(std::string& mode) {
        const auto giveUp =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            Statement statement;
            if (!PrepareStatement(statement, "PRAGMA journal_mode=WAL"))
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

    bool Failed(int rc) {
        const int primary = rc & 0xff;
        const bool unusable = primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
        const char* why = fDb ? sqlite3_errmsg(fDb) : sqlite3_errstr(rc);
        return Fail(unusable ? Fault::Unusable : Fault::Unavailable,
                    std::string(why) + " (SQLite code " + std::to_string(rc) + ")");
    }

    // Keeps the first failure only; the connection is closed once every guard has let go.
    bool Fail(Fault fault, const std::string& reason) {
        fUsable.store(false);
        if (fFailed)
            return false;
        fFailed = true;
        const char* verdict = fault == Fault::Unusable     ? " is unusable: "
                              : fault == Fault::Distrusted ? " is not used: "
                                                           : " is unavailable: ";
        fPendingReport =
            "Answer store " + fPath + verdict + reason + "; going on without it for this run";
        return false;
    }

    // After each operation, with no statement or transaction left in use.
    std::string Settle() {
        if (fFailed && fDb) {
            fUnwritten.fetch_add(fBuffer.size(), std::memory_order_relaxed);
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
    std::size_t fWriteAt = kBatch;
    std::vector<MetRow> fMet;
    bool fFailed = false;
    std::string fPendingReport;
    std::unique_ptr<BackgroundSweep> fSweep;

    std::atomic<bool> fUsable{false};
    std::atomic<std::uint64_t> fFromStore{0};
    std::atomic<std::uint64_t> fExpiredMet{0};
    std::atomic<std::uint64_t> fUnwritten{0};
    std::atomic<std::uint64_t> fBusyRetries{0};
};

} // namespace

std::unique_ptr<IAnswerStore> OpenAnswerStore(const std::string& path, StorePolicy policy,
                                              std::function<void(const std::string&)> report,
                                              std::int64_t now) {
    auto store = std::make_unique<SQLiteAnswerStore>(path, policy, std::move(report));
    store->Open(now);
    return store;
}

} // namespace hostmoor
