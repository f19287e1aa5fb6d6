// Resolved addresses with their host names, and addresses that failed to resolve.
#pragma once

#include "Resolver.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

constexpr std::size_t kMaxCachedName = 255;

// One IPv4 entry: an address and a name of at most 255 characters, empty allowed.
struct TDNSItem {
    hostmoor::Address Address;
    std::string_view Name;
};

// An open-addressing index from an address to the place of its first entry's name.
template <typename Key> class AddressIndex {
public:
    static constexpr std::uint32_t kEmptySlot = 0xffffffffu;
    struct Slot {
        Key Address;
        std::uint32_t NameOffset; // kEmptySlot: a free slot
    };
    const Slot* Find(const Key& key) const;
    // A key already held keeps its first entry.
    void Insert(const Key& key, std::uint32_t nameOffset);
    std::size_t MemoryBytes() const { return fSlots.capacity() * sizeof(Slot); }

private:
    void Grow();
    std::vector<Slot> fSlots;
    std::size_t fUsed = 0;
};

// Entries of either family in order of addition; the first entry added for an address is the
// one found. Address indexes make FindAddr cost the same however many entries there are;
// FindName walks the IPv4 entries. Add, FindAddr and FindName hold the cache lock for the
// whole operation.
class TDNSCache {
public:
    // The lock is shared with the other list of the engine.
    explicit TDNSCache(std::mutex& cacheLock) : fLock(cacheLock) {}
    TDNSCache(const TDNSCache&) = delete;
    TDNSCache& operator=(const TDNSCache&) = delete;
    virtual ~TDNSCache() = default;

    void Add(std::string_view name, const HostAddress& address);
    // A copy of the name of the first entry for the address; an empty name is a result.
    std::optional<std::string> FindAddr(const HostAddress& address) const;
    // Copies the IPv4 address of the first entry named exactly so; false leaves it untouched.
    bool FindName(std::string_view name, Address& address) const;
    // FindAddr without the copy: whether any entry holds the address.
    bool Contains(const HostAddress& address) const;
    bool IsDirty() const { return fCount.load(std::memory_order_relaxed) > 0; }

    // Entries of both families.
    std::size_t Count() const { return fCount.load(std::memory_order_relaxed); }
    // The IPv4 entries in order; no lock: for single-threaded inspection.
    TDNSItem Item(std::size_t index) const;
    std::size_t MemoryBytes() const;

private:
    struct Entry {
        std::uint32_t Address;
        std::uint32_t NameOffset;
    };

    std::string_view NameAt(std::uint32_t offset) const;
    std::uint32_t StoreName(std::string_view name);
    template <typename Visit> bool Lookup(const HostAddress& address, Visit visit) const;

    std::mutex& fLock;
    std::vector<Entry> fItems; // IPv4 entries, duplicates included
    std::string fNames;        // each name stored as its length byte, then its text
    AddressIndex<std::uint32_t> fByAddr;
    AddressIndex<Address6> fByAddr6;
    std::atomic<std::size_t> fCount{0};
};

class TDNSIgnoreList final : public TDNSCache {
public:
    using TDNSCache::TDNSCache;
    bool Ignore(const HostAddress& address) const { return Contains(address); }
};

} // namespace hostmoor
