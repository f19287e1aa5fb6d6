// The answers a rewrite has found recorded, kept beside the engine's shared cache: an answer
// never changes once it is recorded, so each address costs the shared cache's lock once per
// rewrite, however many lines hold it.
#pragma once

#include "Resolver.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hostmoor {

class EngineRuntime;

class KnownNames {
public:
    // With verify, a name counts only once it is known to point back to its address.
    KnownNames(EngineRuntime& engine, bool verify) : fEngine(engine), fVerify(verify) {}

    // True when the address's answer is recorded: `name` is then what replaces it, empty when
    // it stays (on the ignore list, recorded with an empty name, or, with verify, found not to
    // point back). The view lasts until the next call.
    bool Find(const HostAddress& address, std::string_view& name);
    // The address will soon be asked for: its place is fetched meanwhile.
    void Prefetch(const HostAddress& address) const;

private:
    static constexpr std::uint32_t kNoName = 0xffffffffu;
    // Beyond this many, the memory starts again: a log of millions of addresses costs the
    // shared cache's memory, not twice that.
    static constexpr std::size_t kMostKept = 1 << 16;

    // An open-addressed table, for the line's addresses are met millions of times: a key as
    // its two halves, compared as two words.
    struct Slot {
        std::uint64_t High = 0;
        std::uint64_t Low = 0;
        std::uint32_t Name = kEmpty; // offset of the name in fNames, or kNoName
    };
    static constexpr std::uint32_t kEmpty = 0xfffffffeu;

    Slot& SlotOf(std::uint64_t high, std::uint64_t low);
    void Forget();

    EngineRuntime& fEngine;
    const bool fVerify;
    std::vector<Slot> fSlots = std::vector<Slot>(1024);
    std::size_t fUsed = 0;
    std::string fNames; // each name as its length byte, then its text
};

} // namespace hostmoor
