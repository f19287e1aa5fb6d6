#include "KnownNames.h"

#include "EngineRuntime.h"

#include <cstring>

namespace hostmoor {

namespace {

// An address's last bytes vary most: they are folded into every bit of the index.
std::size_t Hash(std::uint64_t high, std::uint64_t low) {
    std::uint64_t h = low ^ (high * 0x9E3779B97F4A7C15ull);
    h ^= h >> 32;
    h *= 0xff51afd7ed558ccdull;
    h ^= h >> 29;
    return static_cast<std::size_t>(h);
}

// The address as the table's key: its two halves.
void Halves(const HostAddress& address, std::uint64_t& high, std::uint64_t& low) {
    std::memcpy(&high, address.Bytes().data(), 8);
    std::memcpy(&low, address.Bytes().data() + 8, 8);
}

} // namespace

void KnownNames::Prefetch(const HostAddress& address) const {
    std::uint64_t high;
    std::uint64_t low;
    Halves(address, high, low);
    __builtin_prefetch(&fSlots[Hash(high, low) & (fSlots.size() - 1)]);
}

KnownNames::Slot& KnownNames::SlotOf(std::uint64_t high, std::uint64_t low) {
    const std::size_t mask = fSlots.size() - 1;
    std::size_t at = Hash(high, low) & mask;
    while (fSlots[at].Name != kEmpty && (fSlots[at].Low != low || fSlots[at].High != high))
        at = (at + 1) & mask;
    return fSlots[at];
}

void KnownNames::Forget() {
    fSlots.assign(fSlots.size(), Slot());
    fUsed = 0;
    fNames.clear();
}

bool KnownNames::Find(const HostAddress& address, std::string_view& name) {
    std::uint64_t high;
    std::uint64_t low;
    Halves(address, high, low);
    Slot* slot = &SlotOf(high, low);
    if (slot->Name == kEmpty) {
        // The ignore list first, as the rewriter asks it: an address on it stays.
        std::uint32_t at = kNoName;
        std::optional<std::string> found;
        if (!fEngine.IgnoreList.Ignore(address)) {
            found = fEngine.DNSCache.FindAddr(address);
            if (!found)
                return false;
            if (fVerify && !found->empty()) {
                // The verdict is recorded before the name, so a name without one is unchecked.
                const Confirmation verdict = fEngine.Confirmations.Find(address);
                if (verdict == Confirmation::Unchecked)
                    return false;
                if (verdict != Confirmation::Confirmed) {
                    fEngine.Confirmations.Met(address);
                    found->clear();
                }
            }
        }
        if (fUsed >= kMostKept)
            Forget();
        else if (2 * (fUsed + 1) > fSlots.size()) {
            std::vector<Slot> old(fSlots.size() * 2);
            old.swap(fSlots);
            for (const Slot& kept : old)
                if (kept.Name != kEmpty)
                    SlotOf(kept.High, kept.Low) = kept;
        }
        if (found && !found->empty()) {
            at = static_cast<std::uint32_t>(fNames.size());
            fNames += static_cast<char>(found->size()); // at most 255
            fNames += *found;
        }
        slot = &SlotOf(high, low);
        *slot = {high, low, at};
        ++fUsed;
    }
    if (slot->Name == kNoName) {
        name = {};
    } else {
        const auto length = static_cast<unsigned char>(fNames[slot->Name]);
        name = std::string_view(fNames).substr(slot->Name + 1, length);
    }
    return true;
}

} // namespace hostmoor
