#include "DNSCache.h"

namespace hostmoor {

namespace {

std::size_t HashAddress(std::uint32_t address) {
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 17);
}

} // namespace

std::string_view TDNSCache::NameAt(std::uint32_t offset) const {
    const auto length = static_cast<unsigned char>(fNames[offset]);
    return std::string_view(fNames).substr(offset + 1, length);
}

TDNSItem TDNSCache::Item(std::size_t index) const {
    const Entry& e = fItems.at(index);
    return {e.Address, NameOf(e)};
}

std::size_t TDNSCache::MemoryBytes() const {
    return fItems.capacity() * sizeof(Entry) + fNames.capacity() +
           fByAddr.capacity() * sizeof(AddrSlot);
}

const TDNSCache::AddrSlot* TDNSCache::FindAddrSlot(std::uint32_t address) const {
    if (fByAddr.empty())
        return nullptr;
    const std::size_t mask = fByAddr.size() - 1;
    for (std::size_t slot = HashAddress(address) & mask;; slot = (slot + 1) & mask) {
        const AddrSlot& s = fByAddr[slot];
        if (s.NameOffset == kEmptySlot)
            return nullptr;
        if (s.Address == address)
            return &s;
    }
}

// The index holds only the first entry for an address, so a later duplicate is never found.
void TDNSCache::IndexEntry(const Entry& e) {
    const std::size_t mask = fByAddr.size() - 1;
    for (std::size_t slot = HashAddress(e.Address) & mask;; slot = (slot + 1) & mask) {
        AddrSlot& s = fByAddr[slot];
        if (s.NameOffset == kEmptySlot) {
            s = {e.Address, e.NameOffset};
            return;
        }
        if (s.Address == e.Address)
            return;
    }
}

void TDNSCache::Grow() {
    const std::size_t slots = fByAddr.empty() ? 64 : fByAddr.size() * 2;
    fByAddr.assign(slots, AddrSlot{0, kEmptySlot});
    for (const Entry& e : fItems)
        IndexEntry(e);
}

void TDNSCache::Add(std::string_view name, Address address) {
    name = name.substr(0, kMaxCachedName);
    std::lock_guard guard(fLock);
    fItems.push_back({address, static_cast<std::uint32_t>(fNames.size())});
    fNames.push_back(static_cast<char>(name.size()));
    fNames.append(name);
    // Keep the index at most half full.
    if (fItems.size() * 2 > fByAddr.size())
        Grow();
    else
        IndexEntry(fItems.back());
    fCount.store(fItems.size(), std::memory_order_relaxed);
}

std::optional<std::string> TDNSCache::FindAddr(Address address) const {
    std::lock_guard guard(fLock);
    const AddrSlot* slot = FindAddrSlot(address);
    if (!slot)
        return std::nullopt;
    return std::string(NameAt(slot->NameOffset));
}

bool TDNSCache::Contains(Address address) const {
    std::lock_guard guard(fLock);
    return FindAddrSlot(address) != nullptr;
}

bool TDNSCache::FindName(std::string_view name, Address& address) const {
    std::lock_guard guard(fLock);
    for (const Entry& e : fItems) {
        if (NameOf(e) == name) {
            address = e.Address;
            return true;
        }
    }
    return false;
}

} // namespace hostmoor
