// Reverse-lookup answers kept on disk between runs, in one SQLite file that several Hostmoor
// processes may use at once. It is only a cache: any trouble with the file turns it off for
// the run and the job goes on without it.
#pragma once

#include "Confirmations.h"
#include "Resolver.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace hostmoor {

// A HostAddress's bytes: IPv6, or IPv4 as ::ffff:a.b.c.d.
using AddressKey = Address6;

struct StoredAnswer {
    AddressKey Address{};
    std::string Name; // empty for a failure
    bool Failed = false;
    std::int64_t Learned = 0; // seconds since the epoch
    // A failure for want of an answer (the name servers did not reply), not their verdict:
    // kept only briefly, as they may answer the next time.
    bool NoAnswer = false;
    // Whether the name was found to point back to the address (Confirmed or Refuted), its
    // servers did not answer (NoAnswer, believed as briefly as a failure for want of an
    // answer, from Learned), or it was not looked at (Unchecked).
    Confirmation Confirmed = Confirmation::Unchecked;
};

enum class StoreResult { Miss, Hit, Expired };

struct StoreFind {
    StoreResult Result = StoreResult::Miss;
    std::string Name; // set on a Hit of a name
    bool Failed = false;
    Confirmation Confirmed = Confirmation::Unchecked; // of a name
    std::int64_t Learned = 0;                         // of a Hit
    // A name whose check got no answer longer ago than such an answer is believed: looked up
    // afresh by a run that checks names, so that what it learns is new in every part.
    bool CheckOutworn = false;
};

// The longest a run may trust a remembered name, and a failure for want of an answer (the cap
// RFC 2308 sets for cached server failures).
constexpr std::int64_t kLongestNameAge = 30 * 24 * 3600;
constexpr std::int64_t kNoAnswerLongestAge = 300;

// Ages in seconds. Failures are kept shorter, as a name server may come back.
struct StorePolicy {
    std::int64_t NameMaxAge = 24 * 3600; // at most kLongestNameAge
    std::int64_t FailureMaxAge = 3600;
    std::int64_t NoAnswerMaxAge = kNoAnswerLongestAge;
};

// What the store did for the caller, for its statistics.
struct StoreCounts {
    std::uint64_t FromStore = 0;   // Finds answered with a fresh entry
    std::uint64_t ExpiredMet = 0;  // Finds that met an expired entry
    std::uint64_t Unwritten = 0;   // answers dropped because the file could not take them
    std::uint64_t BusyRetries = 0; // writes that found the file locked and tried again
};

// The seam the engine uses: kept small so that a store shared over the network could stand
// behind it later. Every member may be called from any thread at once; destroy the store only
// when no call is in progress.
class IAnswerStore {
public:
    virtual ~IAnswerStore() = default;
    // Reads the file only: answers still buffered are not found.
    virtual StoreFind Find(const AddressKey& address, std::int64_t now) = 0;
    // Buffers the answer; the caller waits for the disk only when a batch is written.
    virtual void Remember(const StoredAnswer& answer) = 0;
    // Writes what is buffered, meant for the end of a job: a file locked by another writer is
    // tried again for a bounded time. What could not be written then is counted (Unwritten),
    // reported, and the store is off.
    virtual void Flush() = 0;
    // False once the store has failed: Find then misses and Remember drops.
    virtual bool Usable() const = 0;
    virtual StoreCounts Counts() const = 0;
};

// Opens the file, creating it and its folder when missing (only the user may read them), and
// refuses a file or folder that is not the user's own or that others may write. When a day has
// passed since the last sweep, sweeps it on a thread of its own, which the destructor stops.
// Never null and never throws for a problem with the store: `report` is called at most once in
// the store's life, with one line naming the file and the reason, on the thread that met the
// problem and with no lock held, and the store is off from then on. The destructor writes
// nothing: call Flush first. Not to be used across fork().
std::unique_ptr<IAnswerStore> OpenAnswerStore(const std::string& path, StorePolicy policy,
                                              std::function<void(const std::string&)> report,
                                              std::int64_t now);

// $XDG_CACHE_HOME/hostmoor/answers.sqlite, or ~/.cache/hostmoor/answers.sqlite when
// XDG_CACHE_HOME is unset, empty or not absolute; empty when neither gives an absolute folder.
std::string DefaultAnswerStorePath();

// "90m", "2d", "36h", "45s" or "3600" (seconds) to seconds (callers bound it: a name's age by
// kLongestNameAge). False, leaving `seconds` alone, for
// anything else: empty, zero, a sign, a blank, another unit, an overflow.
bool ParseDuration(std::string_view text, std::int64_t& seconds);

} // namespace hostmoor
