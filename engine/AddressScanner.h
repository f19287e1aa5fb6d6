// Finding dotted IPv4 addresses in a line.
#pragma once

#include "Resolver.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace hostmoor {

class TDNSIgnoreList;

bool IsDottedQuad(std::string_view text);

// An address found in a line: where its text stands, and the address inet_addr reads from it.
// Small, since the look-ahead keeps one for every address of its window.
struct FoundAddress {
    std::uint64_t Position = 0;
    std::uint32_t Length = 0; // 0: none found
    hostmoor::Address Address = 0;

    std::string_view TextIn(std::string_view line) const { return line.substr(Position, Length); }
    std::uint64_t End() const { return Position + Length; }
};

// The first address in the line at or after `from` that is not on the ignore list (none when
// ignore is null). A dotted quad that directly follows a product name and "/" (Chrome/120.0.0.0)
// is a version, not an address.
FoundAddress FindAddressInLine(std::string_view line, std::size_t from = 0,
                               const TDNSIgnoreList* ignore = nullptr);

// Every dotted quad of the line, in the order FindAddressInLine meets them with the ignore
// list aside. After each one the search goes on past its run, which is where it goes on after
// a substitution too, so the list holds for the line whatever the lookups give.
void ScanAddresses(std::string_view line, std::vector<FoundAddress>& found);

} // namespace hostmoor
