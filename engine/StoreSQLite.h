// Small helpers over SQLite's C API for the answer store: prepared statements that reset
// themselves, and write transactions that roll back unless committed.
#pragma once

#include "Resolver.h"

#include <cstdint>
#include <memory>
#include <sqlite3.h>
#include <string>

namespace hostmoor::store {

inline bool Busy(int rc) {
    return (rc & 0xff) == SQLITE_BUSY;
}

struct StatementDeleter {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

// Prepares once for many uses; the result code of sqlite3_prepare_v3.
inline int Prepare(sqlite3* db, Statement& statement, const std::string& sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc =
        sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
    statement.reset(raw);
    return rc;
}

// One use of a prepared statement: binds, steps, and resets on the way out whatever happened,
// so that no statement keeps a read transaction open between calls.
class Use {
public:
    explicit Use(const Statement& statement) : fStatement(statement.get()) {}
    ~Use() {
        sqlite3_reset(fStatement);
        sqlite3_clear_bindings(fStatement);
    }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;

    Use& Bind(int index, const Address6& key) {
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
    // A blob of any length; an empty one is bound as an empty blob, not NULL.
    Use& BindBlob(int index, const std::string& bytes) {
        static const char kNone = 0;
        sqlite3_bind_blob(fStatement, index, bytes.empty() ? &kNone : bytes.data(),
                          static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
        return *this;
    }
    int Step() { return sqlite3_step(fStatement); }
    sqlite3_stmt* Get() const { return fStatement; }
    std::string ColumnBlob(int column) const {
        const auto* bytes = static_cast<const char*>(sqlite3_column_blob(fStatement, column));
        return bytes
                   ? std::string(bytes,
                                 static_cast<std::size_t>(sqlite3_column_bytes(fStatement, column)))
                   : std::string();
    }

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

} // namespace hostmoor::store
