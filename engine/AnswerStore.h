// Reverse-lookup answers kept on disk between runs, in one SQLite file that several Hostmoor
// processes may use at once. It is only a cache: any trouble with the file turns it off for
// the run and the job goes on without it.
#pragma once

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
};

enum class StoreResult { Miss, Hit, Expired };

struct StoreFind {
    StoreResult Result = StoreResult::Miss;
    std::string Name; // set on a Hit of a name
    bool Failed = false;
};

// Ages in seconds. Failures are kept shorter, as a name server may come back.
struct StorePolicy {
    std::int64_t NameMaxAge = 24 * 3600;
    std::int64_t FailureMaxAge = 3600;
};

// What the store did for the caller, for its statistics.
struct StoreCounts {
    std::uint64_t FromStore = 0;  // Finds answered with a fresh entry
    std::uint64_t ExpiredMet = 0; // Finds that met an expired entry
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
    // Writes what is buffered: one bounded attempt, meant for the end of a job. A store that
    // cannot write then drops the buffer and is off.
    virtual void Flush() = 0;
    // False once the store has failed: Find then misses and Remember drops.
    virtual bool Usable() const = 0;
    virtual StoreCounts Counts() const = 0;
};

// Opens the file, creating it and its folder when missing, and sweeps it when a day has passed
// since the last sweep. Never null and never throws for a problem with the store: `report` is
// called at most once in the store's life, with one line naming the file and the reason, on
// the thread that met the problem and with no lock held, and the store is off from then on.
// The destructor writes nothing: call Flush first. Not to be used across fork().
std::unique_ptr<IAnswerStore> OpenAnswerStore(const std::string& path, StorePolicy policy,
                                              std::function<void(const std::string&)> report,
                                              std::int64_t now);

// $XDG_CACHE_HOME/hostmoor/answers.sqlite, or ~/.cache/hostmoor/answers.sqlite when
// XDG_CACHE_HOME is unset, empty or not absolute; empty when neither gives an absolute folder.
std::string DefaultAnswerStorePath();

// "90m", "2d", "36h", "45s" or "3600" (seconds) to seconds. False, leaving `seconds` alone, for
// anything else: empty, zero, a sign, a blank, another unit, an overflow.
bool ParseDuration(std::string_view text, std::int64_t& seconds);

} // namespace hostmoor
