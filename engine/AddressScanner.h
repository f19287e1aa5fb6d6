// Finding dotted IPv4 addresses in a line.
#pragma once

#include "Resolver.h"

#include <cstddef>
#include <string_view>
#include <vector>

namespace hostmoor {

class TDNSIgnoreList;

bool IsDottedQuad(std::string_view text);

struct FoundAddress {
    std::string_view Text; // empty when there is none
    std::size_t Position = 0;
    std::size_t RunEnd = 0;        // end of the run of digits and dots that held it
    hostmoor::Address Address = 0; // as inet_addr reads the text
};

// The first address in the line at or after `from` that is not on the ignore list (none when
// ignore is null).
FoundAddress FindAddressInLine(std::string_view line, std::size_t from = 0,
                               const TDNSIgnoreList* ignore = nullptr);

// Every dotted quad of the line, in the order FindAddressInLine meets them with the ignore
// list aside. After each one the search goes on past its run, which is where it goes on after
// a substitution too, so the list holds for the line whatever the lookups give.
void ScanAddresses(std::string_view line, std::vector<FoundAddress>& found);

} // namespace hostmoor
