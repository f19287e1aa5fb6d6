// Finding dotted IPv4 addresses in a line.
#pragma once

#include "Resolver.h"

#include <cstddef>
#include <string_view>

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

} // namespace hostmoor
