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

// One entry: an address and a name of at most 255 characters, empty allowed.
struct TDNSItem {
    hostmoor::Address Address;
    std::string_view Name;
};

// Entries in order of addition; the first entry added for an address is the one found. An
// address index makes FindAddr cost the same however many entries there are; FindName walks
// the entries. Add, FindAddr and FindName hold the cache lock for the whole operation.
class TDNSCache {
public:
    // The lock is shared with the other list of the engine.
    explicit TDNSCache(std::mutex& cacheLock) : fLock(cacheLock) {}
    TDNSCache(const TDNSCache&) = delete;
    TDNSCache& operator=(const TDNSCache&) = delete;
    virtual ~TDNSCache() = default;

    void Add(std::string_view name, Address address);
    // A copy of the name of the first entry for the address; an empty name is a result.
    std::optional<std::string> FindAddr(Address address) const;
    // Copies the address of the first entry named exactly so; false leaves it untouched.
    bool FindName(std::string_view name, Address& address) const;
    // FindAddr without the copy: whether any entry holds the address.
    bool Contains(Address address) const;
    bool IsDirty() const { return fCount.load(std::memory_order_relaxed) > 0; }

    std::size_t Count() const { return fCount.load(std::memory_order_relaxed); }
    TDNSItem Item(std::size_t index) const; // no lock: for single-threaded inspection
    std::size_t MemoryBytes() const;

private:
    struct Entry {
        std::uint32_t Address;
        std::uint32_t NameOffset;
    };
    static constexpr std::uint32_t kEmptySlot = 0xffffffffu;

    // The address index holds the name's place too, so a search touches no entry.
    struct AddrSlot {
        std::uint32_t Address;
        std::uint32_t NameOffset; // kEmptySlot: a free slot
    };

    std::string_view NameOf(const Entry& e) const { return NameAt(e.NameOffset); }
    std::string_view NameAt(std::uint32_t offset) const;
    const AddrSlot* FindAddrSlot(std::uint32_t address) const;
    void Grow();
    void IndexEntry(const Entry& e);

    std::mutex& fLock;
    std::vector<Entry> fItems;
    std::string fNames;            // each name stored as its length byte, then its text
    std::vector<AddrSlot> fByAddr; // open addressing, first entry of each address only
    std::atomic<std::size_t> fCount{0};
};

class TDNSIgnoreList final : public TDNSCache {
public:
    using TDNSCache::TDNSCache;
    bool Ignore(Address address) const { return Contains(address); }
};

} // namespace hostmoor
