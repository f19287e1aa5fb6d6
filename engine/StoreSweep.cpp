#include "StoreSweep.h"

#include "StoreExpiry.h"
#include "StoreSQLite.h"

#include <algorithm>
#include <memory>
#include <optional>
#include <system_error>

namespace hostmoor::store {

namespace {

using Steady = std::chrono::steady_clock;

// Keys a step walks: a step's transaction reads and deletes no more rows than this, so that it
// holds the write lock for a few milliseconds at any size of the file.
constexpr int kStepRows = 500;
// Pages given back to the file system in one step.
constexpr int kVacuumPages = 32;
// Between steps the lock is left free for a while, so that other writers get in.
constexpr auto kPause = std::chrono::milliseconds(5);
// A sweeper renews its claim at every step; a claim not renewed for this long is taken over.
constexpr std::int64_t kLease = 60;
constexpr int kBusyTimeoutMs = 250;
constexpr int kBusyTries = 4;

struct Closer {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

class Sweeper {
public:
    Sweeper(sqlite3* db, std::int64_t now, const std::atomic<bool>& stop)
        : fDb(db), fNow(now), fStop(stop), fStart(Steady::now()) {}

    SweepFigures Run() {
        if (!PrepareAll() || !Claim())
            return fFigures;
        // Only a file made to give space back (auto_vacuum incremental) can; others keep their
        // size, their free pages taken by later answers.
        fCanShrink = Pragma("PRAGMA auto_vacuum") == 2;
        for (;;) {
            std::optional<std::string> upTo;
            if (!StepEnd(upTo))
                break;
            // A stretch with nothing to remove needs no write, unless the claim is to be
            // renewed or the sweep ends there.
            const std::int64_t outworn = CountOutworn(upTo);
            if (outworn < 0 ||
                ((outworn > 0 || !upTo || Clock() + kLease / 2 > fLeaseUntil) && !RemoveStep(upTo)))
                break;
            GiveSpaceBack(!upTo);
            if (!upTo) {
                fFigures.Finished = true;
                break;
            }
            fCursor = *upTo;
            if (!Pause())
                break;
        }
        if (!fFigures.Finished)
            Release();
        return fFigures;
    }

private:
    // The process's clock as it stands now, from the time given at the start.
    std::int64_t Clock() const {
        return fNow +
               std::chrono::duration_cast<std::chrono::seconds>(Steady::now() - fStart).count();
    }

    bool PrepareAll() {
        const std::string outworn = kOutwornSql;
        return Prepare(fDb, fReadMeta,
                       "SELECT last_sweep, sweep_cursor, sweep_lease FROM meta WHERE one = 1") ==
                   SQLITE_OK &&
               Prepare(fDb, fClaim, "UPDATE meta SET sweep_lease = ?1 WHERE one = 1") ==
                   SQLITE_OK &&
               Prepare(fDb, fRelease,
                       "UPDATE meta SET sweep_lease = 0 WHERE one = 1 AND sweep_lease = ?1") ==
                   SQLITE_OK &&
               Prepare(fDb, fNext,
                       "SELECT addr FROM answers WHERE addr > ?1 ORDER BY addr LIMIT 1 OFFSET " +
                           std::to_string(kStepRows - 1)) == SQLITE_OK &&
               Prepare(fDb, fRemove,
                       "DELETE FROM answers WHERE addr > ?1 AND addr <= ?5 AND " + outworn) ==
                   SQLITE_OK &&
               Prepare(fDb, fRemoveRest, "DELETE FROM answers WHERE addr > ?1 AND " + outworn) ==
                   SQLITE_OK &&
               Prepare(fDb, fCount,
                       "SELECT count(*) FROM answers WHERE addr > ?1 AND addr <= ?5 AND " +
                           outworn) == SQLITE_OK &&
               Prepare(fDb, fCountRest,
                       "SELECT count(*) FROM answers WHERE addr > ?1 AND " + outworn) ==
                   SQLITE_OK &&
               Prepare(fDb, fAdvance,
                       "UPDATE meta SET sweep_cursor = ?1, sweep_lease = ?2 WHERE one = 1") ==
                   SQLITE_OK &&
               Prepare(fDb, fFinish,
                       "UPDATE meta SET last_sweep = ?1, sweep_cursor = NULL, sweep_lease = 0 "
                       "WHERE one = 1") == SQLITE_OK &&
               Prepare(fDb, fFreePages, "PRAGMA freelist_count") == SQLITE_OK &&
               Prepare(fDb, fVacuum,
                       "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")") ==
                   SQLITE_OK;
    }

    // Takes the sweep when it is due and nobody else holds it; goes on from where the last one
    // stopped.
    bool Claim() {
        // Read first, so that a sweep that is not due takes no lock; then again under the lock,
        // since another process may have claimed it meanwhile.
        if (!Due())
            return false;
        Transaction transaction(fDb);
        if (transaction.Begin() != SQLITE_OK || !Due())
            return false;
        fLeaseUntil = Clock() + kLease;
        if (Use(fClaim).Bind(1, fLeaseUntil).Step() != SQLITE_DONE)
            return false;
        return transaction.Commit() == SQLITE_OK;
    }

    // A sweep cut short gives its claim up, so that the next run goes on with it at once; one
    // that cannot lets the claim run out.
    void Release() {
        Transaction transaction(fDb);
        if (transaction.Begin() == SQLITE_OK &&
            Use(fRelease).Bind(1, fLeaseUntil).Step() == SQLITE_DONE)
            transaction.Commit();
    }

    // Binds the step's stretch of keys and the cuts of what is outworn.
    void BindStep(Use& use, const std::optional<std::string>& upTo) const {
        use.BindBlob(1, fCursor)
            .Bind(2, FutureCut(fNow))
            .Bind(3, NameCut(fNow))
            .Bind(4, FailureCut(fNow));
        if (upTo)
            use.BindBlob(5, *upTo);
    }

    // Outworn rows in the step's stretch, read without a lock; -1 on a fault.
    std::int64_t CountOutworn(const std::optional<std::string>& upTo) {
        Use use(upTo ? fCount : fCountRest);
        BindStep(use, upTo);
        return use.Step() == SQLITE_ROW ? sqlite3_column_int64(use.Get(), 0) : -1;
    }

    bool Due() {
        const std::int64_t now = Clock();
        Use use(fReadMeta);
        if (use.Step() != SQLITE_ROW)
            return false;
        const std::int64_t last = sqlite3_column_int64(use.Get(), 0);
        const std::int64_t lease = sqlite3_column_int64(use.Get(), 2);
        const bool due = last > now || last <= Before(now, kSweepInterval);
        const bool held = lease > now && lease <= now + kLease;
        fCursor = use.ColumnBlob(1);
        return due && !held;
    }

    // The last key of the next step; none when the step reaches the end of the table.
    bool StepEnd(std::optional<std::string>& upTo) {
        Use use(fNext);
        use.BindBlob(1, fCursor);
        const int rc = use.Step();
        if (rc == SQLITE_ROW)
            upTo = use.ColumnBlob(0);
        return rc == SQLITE_ROW || rc == SQLITE_DONE;
    }

    // Begins a write transaction, trying again a few times while another writer holds the lock.
    bool Begin(Transaction& transaction) {
        for (int tries = 0; tries < kBusyTries; ++tries) {
            const int rc = transaction.Begin();
            if (rc == SQLITE_OK)
                return true;
            if (!Busy(rc) || !Pause())
                return false;
        }
        return false;
    }

    void Measure(Steady::time_point began) {
        ++fFigures.Steps;
        fFigures.LongestStep =
            std::max(fFigures.LongestStep,
                     std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - began));
    }

    bool RemoveStep(const std::optional<std::string>& upTo) {
        Transaction transaction(fDb);
        if (!Begin(transaction))
            return false;
        const auto began = Steady::now();
        {
            Use use(upTo ? fRemove : fRemoveRest);
            BindStep(use, upTo);
            if (use.Step() != SQLITE_DONE)
                return false;
            fFigures.Removed += static_cast<std::uint64_t>(sqlite3_changes(fDb));
        }
        const std::int64_t lease = Clock() + kLease;
        const int rc = upTo ? Use(fAdvance).BindBlob(1, *upTo).Bind(2, lease).Step()
                            : Use(fFinish).Bind(1, fNow).Step();
        if (rc != SQLITE_DONE || transaction.Commit() != SQLITE_OK)
            return false;
        fLeaseUntil = lease;
        Measure(began);
        return true;
    }

    std::int64_t Pragma(const char* sql) {
        Statement statement;
        if (Prepare(fDb, statement, sql) != SQLITE_OK)
            return -1;
        Use use(statement);
        return use.Step() == SQLITE_ROW ? sqlite3_column_int64(use.Get(), 0) : -1;
    }

    std::int64_t FreePages() {
        Use use(fFreePages);
        return use.Step() == SQLITE_ROW ? sqlite3_column_int64(use.Get(), 0) : 0;
    }

    // Hands freed pages back to the file system, a few at a time: all of them at the end,
    // else only what a step freed, so that the file shrinks as the sweep goes.
    void GiveSpaceBack(bool all) {
        while (fCanShrink && !fStop.load() && FreePages() >= (all ? 1 : kVacuumPages)) {
            Transaction transaction(fDb);
            if (!Begin(transaction))
                return;
            const auto began = Steady::now();
            {
                Use use(fVacuum);
                int rc;
                while ((rc = use.Step()) == SQLITE_ROW) {
                }
                if (rc != SQLITE_DONE)
                    return;
            }
            if (transaction.Commit() != SQLITE_OK)
                return;
            Measure(began);
            if (!all || !Pause())
                return;
        }
    }

    // Copies the log back into the file while no write transaction is held (a checkpoint
    // does not keep writers out), then leaves the lock free for a while.
    bool Pause() {
        sqlite3_wal_checkpoint_v2(fDb, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        std::this_thread::sleep_for(kPause);
        return !fStop.load();
    }

    sqlite3* const fDb;
    const std::int64_t fNow;
    const std::atomic<bool>& fStop;
    const Steady::time_point fStart;
    Statement fReadMeta, fClaim, fRelease, fNext, fRemove, fRemoveRest, fCount, fCountRest,
        fAdvance, fFinish, fFreePages, fVacuum;
    std::int64_t fLeaseUntil = 0;
    bool fCanShrink = false;
    std::string fCursor; // the last key swept; empty: from the first
    SweepFigures fFigures;
};

} // namespace

SweepFigures SweepStore(const std::string& path, std::int64_t now, const std::atomic<bool>& stop) {
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    const std::unique_ptr<sqlite3, Closer> db(raw);
    if (rc != SQLITE_OK)
        return {};
    sqlite3_extended_result_codes(raw, 1);
    sqlite3_busy_timeout(raw, kBusyTimeoutMs);
    // As the store's own connection: a commit waits for no disk flush (WAL keeps the file
    // whole). The log is copied back into the file between steps, not inside a commit.
    sqlite3_exec(raw, "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0", nullptr, nullptr,
                 nullptr);
    return Sweeper(raw, now, stop).Run();
}

BackgroundSweep::BackgroundSweep(std::string path, std::int64_t now) {
    try {
        fThread =
            std::thread([this, path = std::move(path), now] { SweepStore(path, now, fStop); });
    } catch (const std::system_error&) {
        // No thread to spare: the sweep waits for another run.
    }
}

BackgroundSweep::~BackgroundSweep() {
    fStop.store(true);
    if (fThread.joinable())
        fThread.join();
}

} // namespace hostmoor::store
