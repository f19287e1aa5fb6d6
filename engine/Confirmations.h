// Whether the names the rewriters found point back to their addresses: one verdict for each
// address, recorded for the rest of the run like the cache's answers, under the cache's lock.
#pragma once

#include "Resolver.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace hostmoor {

enum class Confirmation : std::uint8_t {
    Unchecked = 0, // not looked at yet
    Confirmed = 1, // the name has the address among its own
    Refuted = 2,   // the name has other addresses, or none
    NoAnswer = 3,  // no answer from the name's own servers (a time-out, a refusal, a fault)
};

// Looks the name's addresses of the address's family up, and compares them with the address.
Confirmation CheckName(const ResolverAccess& resolver, const HostAddress& address,
                       const std::string& name, LookupOutcome* forward = nullptr);

class TConfirmations {
public:
    explicit TConfirmations(std::mutex& cacheLock) : fLock(cacheLock) {}
    TConfirmations(const TConfirmations&) = delete;
    TConfirmations& operator=(const TConfirmations&) = delete;

    // Records the verdict unless the address has one; true when it was recorded.
    bool Add(const HostAddress& address, Confirmation verdict);
    // Unchecked when it has none.
    Confirmation Find(const HostAddress& address) const;
    // Names found not to point back, or whose servers did not answer.
    std::size_t NotConfirmed() const { return fNotConfirmed.load(std::memory_order_relaxed); }

    // A rewrite met the address, whose name is not confirmed: counted once a batch, whether
    // the verdict is new or was recorded before.
    void Met(const HostAddress& address);
    // Begins a batch's count of those.
    void BeginBatch();
    std::size_t NotConfirmedMet() const;

private:
    std::mutex& fLock;
    std::unordered_map<HostAddress, Confirmation> fVerdicts;
    std::unordered_set<HostAddress> fMet;
    std::atomic<std::size_t> fNotConfirmed{0};
};

} // namespace hostmoor
