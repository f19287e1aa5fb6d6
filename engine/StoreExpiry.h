// When a remembered answer may be used, and when its row may be removed from the file.
#pragma once

#include "AnswerStore.h"

#include <cstdint>

namespace hostmoor::store {

constexpr std::int64_t kDay = 24 * 3600;
// How often the whole file is swept, counted across every process.
constexpr std::int64_t kSweepInterval = kDay;
// Rows are kept longer than any run may trust them, so that what one run may use is never
// removed by another run with a shorter age: the age in force decides what is used, the
// retention what is kept.
constexpr std::int64_t kNameRetention = kLongestNameAge + kDay;
constexpr std::int64_t kFailureRetention = kDay;
// A row a little ahead of this process's clock comes from a process that read its clock later;
// only a row well ahead comes from a clock that was set back, and only that one is removed.
constexpr std::int64_t kFutureSlack = 300;

// What a row's "failed" column holds.
enum class RowKind : int { Name = 0, NoName = 1, NoAnswer = 2 };

RowKind KindOf(const StoredAnswer& answer);

// now - age, held inside the range of int64 whatever the clock says.
std::int64_t Before(std::int64_t now, std::int64_t age);

// The age up to which a row of this kind is used under the policy.
std::int64_t MaxAge(const StorePolicy& policy, RowKind kind);

// Written this way round, an entry from the future is never fresh.
bool Fresh(std::int64_t learned, std::int64_t now, std::int64_t maxAge);

// Whether a row is past its retention, or well ahead of the clock.
bool Outworn(std::int64_t learned, RowKind kind, std::int64_t now);

// The same test in SQL, over the columns "failed" and "learned", for the parameters
// ?2 (FutureCut), ?3 (NameCut) and ?4 (FailureCut).
constexpr const char* kOutwornSql =
    "(learned > ?2 OR (failed = 0 AND learned <= ?3) OR (failed <> 0 AND learned <= ?4))";
std::int64_t FutureCut(std::int64_t now);
std::int64_t NameCut(std::int64_t now);
std::int64_t FailureCut(std::int64_t now);

} // namespace hostmoor::store
