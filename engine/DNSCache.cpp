#include "DNSCache.h"

#include <cstring>

namespace hostmoor {

namespace {

std::size_t HashKey(std::uint32_t address) {
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 17);
}

std::size_t HashKey(const Address6& address) {
    return std::hash<HostAddress>()(HostAddress(address));
}

} // namespace

template <typename Key>
const typename AddressIndex<Key>::Slot* AddressIndex<Key>::Find(const Key& key) const {
    if (fSlots.empty())
        return nullptr;
    const std::size_t mask = fSlots.size() - 1;
    for (std::size_t slot = HashKey(key) & mask;; slot = (slot + 1) & mask) {
        const Slot& s = fSlots[slot];
        if (s.NameOffset == kEmptySlot)
            return nullptr;
        if (s.Address == key)
            return &s;
    }
}

template <typename Key> void AddressIndex<Key>::Insert(const Key& key, std::uint32_t nameOffset) {
    // Kept at most half full.
    if ((fUsed + 1) * 2 > fSlots.size())
        Grow();
    const std::size_t mask = fSlots.size() - 1;
    for (std::size_t slot = HashKey(key) & mask;; slot = (slot + 1) & mask) {
        Slot& s = fSlots[slot];
        if (s.NameOffset == kEmptySlot) {
            s = {key, nameOffset};
            ++fUsed;
            return;
        }
        if (s.Address == key)
            return;
    }
}

template <typename Key> void AddressIndex<Key>::Grow() {
    std::vector<Slot> old(fSlots.empty() ? 64 : fSlots.size() * 2, Slot{Key{}, kEmptySlot});
    old.swap(fSlots);
    fUsed = 0;
    for (const Slot& s : old)
        if (s.NameOffset != kEmptySlot)
            Insert(s.Address, s.NameOffset);
}

template class AddressIndex<std::uint32_t>;
template class AddressIndex<Address6>;

std::string_view TDNSCache::NameAt(std::uint32_t offset) const {
    const auto length = static_cast<unsigned char>(fNames[offset]);
    return std::string_view(fNames).substr(offset + 1, length);
}

TDNSItem TDNSCache::Item(std::size_t index) const {
    const Entry& e = fItems.at(index);
    return {e.Address, NameAt(e.NameOffset)};
}

std::size_t TDNSCache::MemoryBytes() const {
    return fItems.capacity() * sizeof(Entry) + fNames.capacity() + fByAddr.MemoryBytes() +
           fByAddr6.MemoryBytes();
}

std::uint32_t TDNSCache::StoreName(std::string_view name) {
    const auto offset = static_cast<std::uint32_t>(fNames.size());
    fNames.push_back(static_cast<char>(name.size()));
    fNames.append(name);
    return offset;
}

void TDNSCache::Add(std::string_view name, const HostAddress& address) {
    name = name.substr(0, kMaxCachedName);
    std::lock_guard guard(fLock);
    const std::uint32_t offset = StoreName(name);
    if (address.IsV4()) {
        fItems.push_back({address.V4(), offset});
        fByAddr.Insert(address.V4(), offset);
    } else {
        fByAddr6.Insert(address.Bytes(), offset);
    }
    fCount.fetch_add(1, std::memory_order_relaxed);
}

// Under the lock: calls visit with the name offset of the address's first entry.
template <typename Visit> bool TDNSCache::Lookup(const HostAddress& address, Visit visit) const {
    if (address.IsV4()) {
        if (const auto* slot = fByAddr.Find(address.V4()))
            return visit(slot->NameOffset), true;
    } else if (const auto* slot = fByAddr6.Find(address.Bytes())) {
        return visit(slot->NameOffset), true;
    }
    return false;
}

std::optional<std::string> TDNSCache::FindAddr(const HostAddress& address) const {
    std::lock_guard guard(fLock);
    std::optional<std::string> name;
    Lookup(address, [&](std::uint32_t offset) { name.emplace(NameAt(offset)); });
    return name;
}

bool TDNSCache::Contains(const HostAddress& address) const {
    std::lock_guard guard(fLock);
    return Lookup(address, [](std::uint32_t) {});
}

bool TDNSCache::FindName(std::string_view name, Address& address) const {
    std::lock_guard guard(fLock);
    for (const Entry& e : fItems) {
        if (NameAt(e.NameOffset) == name) {
            address = e.Address;
            return true;
        }
    }
    return false;
}

} // namespace hostmoor
