#include "DNSCache.h"

#include <functional>

namespace hostmoor {

TDNSCache* DNSCache = nullptr;
TDNSIgnoreList* IgnoreList = nullptr;

std::mutex& CacheLock() {
    static auto* lock = new std::mutex;
    return *lock;
}

void CreateCaches() {
    DNSCache = new TDNSCache;
    IgnoreList = new TDNSIgnoreList;
}

void ReleaseCaches() {
    delete DNSCache;
    DNSCache = nullptr;
    delete IgnoreList;
    IgnoreList = nullptr;
}

namespace {

std::size_t HashAddress(std::uint32_t address) {
    return static_cast<std::size_t>((address * 0x9E3779B97F4A7C15ull) >> 17);
}

std::size_t HashName(std::string_view name) { return std::hash<std::string_view>{}(name); }

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
           fByAddr.capacity() * sizeof(AddrSlot) + fByName.capacity() * sizeof(std::uint32_t);
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

std::uint32_t TDNSCache::FindNameIndex(std::string_view name) const {
    if (fByName.empty())
        return kEmptySlot;
    const std::size_t mask = fByName.size() - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        const std::uint32_t index = fByName[slot];
        if (index == kEmptySlot || NameOf(fItems[index]) == name)
            return index;
    }
}

// Each index holds only the first entry for its key, so a later duplicate is never found.
void TDNSCache::IndexEntry(std::uint32_t index) {
    const Entry& e = fItems[index];
    std::size_t mask = fByAddr.size() - 1;
    for (std::size_t slot = HashAddress(e.Address) & mask;; slot = (slot + 1) & mask) {
        AddrSlot& s = fByAddr[slot];
        if (s.NameOffset == kEmptySlot) {
            s = {e.Address, e.NameOffset};
            break;
        }
        if (s.Address == e.Address)
            break;
    }
    const std::string_view name = NameOf(e);
    mask = fByName.size() - 1;
    for (std::size_t slot = HashName(name) & mask;; slot = (slot + 1) & mask) {
        std::uint32_t& s = fByName[slot];
        if (s == kEmptySlot) {
            s = index;
            break;
        }
        if (NameOf(fItems[s]) == name)
            break;
    }
}

void TDNSCache::Grow() {
    const std::size_t slots = fByAddr.empty() ? 64 : fByAddr.size() * 2;
    fByAddr.assign(slots, AddrSlot{0, kEmptySlot});
    fByName.assign(slots, kEmptySlot);
    for (std::uint32_t i = 0; i < fItems.size(); ++i)
        IndexEntry(i);
}

void TDNSCache::Add(std::string_view name, Address address) {
    name = name.substr(0, kMaxCachedName);
    std::lock_guard guard(CacheLock());
    const auto index = static_cast<std::uint32_t>(fItems.size());
    fItems.push_back({address, static_cast<std::uint32_t>(fNames.size())});
    fNames.push_back(static_cast<char>(name.size()));
    fNames.append(name);
    // Keep both tables at most half full.
    if ((fItems.size()) * 2 > fByAddr.size())
        Grow();
    else
        IndexEntry(index);
    fCount.store(fItems.size(), std::memory_order_relaxed);
}

std::optional<std::string> TDNSCache::FindAddr(Address address) const {
    std::lock_guard guard(CacheLock());
    const AddrSlot* slot = FindAddrSlot(address);
    if (!slot)
        return std::nullopt;
    return std::string(NameAt(slot->NameOffset));
}

bool TDNSCache::Contains(Address address) const {
    std::lock_guard guard(CacheLock());
    return FindAddrSlot(address) != nullptr;
}

bool TDNSCache::FindName(std::string_view name, Address& address) const {
    std::lock_guard guard(CacheLock());
    const std::uint32_t index = FindNameIndex(name);
    if (index == kEmptySlot)
        return false;
    address = fItems[index].Address;
    return true;
}

} // namespace hostmoor
