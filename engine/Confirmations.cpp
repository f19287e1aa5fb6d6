#include "Confirmations.h"

#include <algorithm>

namespace hostmoor {

Confirmation CheckName(const ResolverAccess& resolver, const HostAddress& address,
                       const std::string& name, LookupOutcome* forward) {
    const bool v6 = !address.IsV4();
    LookupOutcome outcome = resolver.LookupAddressesOf(name, v6);
    // Only the name's own servers' answer refutes it: its addresses, or that it has none. Any
    // other failure (no answer, a refusal, a fault of this machine) says nothing.
    Confirmation verdict = Confirmation::NoAnswer;
    if (outcome.Host) {
        const bool back =
            v6 ? std::find(outcome.Host->Addresses6.begin(), outcome.Host->Addresses6.end(),
                           address.Bytes()) != outcome.Host->Addresses6.end()
               : std::find(outcome.Host->Addresses.begin(), outcome.Host->Addresses.end(),
                           address.V4()) != outcome.Host->Addresses.end();
        verdict = back ? Confirmation::Confirmed : Confirmation::Refuted;
    } else if (outcome.ErrorCode == kErrHostNotFound || outcome.ErrorCode == kErrNoData) {
        verdict = Confirmation::Refuted;
    }
    if (forward)
        *forward = std::move(outcome);
    return verdict;
}

bool TConfirmations::Add(const HostAddress& address, Confirmation verdict) {
    std::lock_guard guard(fLock);
    if (!fVerdicts.emplace(address, verdict).second)
        return false;
    if (verdict == Confirmation::Refuted || verdict == Confirmation::NoAnswer)
        fNotConfirmed.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void TConfirmations::Met(const HostAddress& address) {
    std::lock_guard guard(fLock);
    fMet.insert(address);
}

void TConfirmations::BeginBatch() {
    std::lock_guard guard(fLock);
    fMet.clear();
}

std::size_t TConfirmations::NotConfirmedMet() const {
    std::lock_guard guard(fLock);
    return fMet.size();
}

Confirmation TConfirmations::Find(const HostAddress& address) const {
    std::lock_guard guard(fLock);
    const auto it = fVerdicts.find(address);
    return it == fVerdicts.end() ? Confirmation::Unchecked : it->second;
}

} // namespace hostmoor
