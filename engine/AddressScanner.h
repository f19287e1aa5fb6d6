// Finding dotted IPv4 addresses in a line, and IPv6 addresses beside them.
#pragma once

#include "Resolver.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace hostmoor {

class TDNSIgnoreList;

// Four decimal numbers of one to three digits, each at most 255, joined by dots ("012" is 12).
bool IsDottedQuad(std::string_view text);

// An address found in a line: where its text stands, and the address it is. Small, since the
// look-ahead keeps one for every address of its window.
struct FoundAddress {
    std::uint64_t Position = 0;
    std::uint32_t Length = 0; // 0: none found
    HostAddress Address;

    std::string_view TextIn(std::string_view line) const { return line.substr(Position, Length); }
    std::uint64_t End() const { return Position + Length; }
};

// The first address in the line at or after `from` that is not on the ignore list (none when
// ignore is null): a dotted quad standing as a run of digits and dots, once the dots at its ends
// are cut. Not addresses: a quad that goes on as a host name (1.2.3.4.example.net,
// 1.2.3.4-static.example.net), and one that directly follows a product name and "/" without a
// port (Chrome/120.0.0.0; but HIER_DIRECT/10.1.2.3 and host/10.1.2.3:9000 are addresses).
FoundAddress FindAddressInLine(std::string_view line, std::size_t from = 0,
                               const TDNSIgnoreList* ignore = nullptr);

// Every dotted quad of the line, in the order FindAddressInLine meets them with the ignore
// list aside. After each one the search goes on past its run, which is where it goes on after
// a substitution too, so the list holds for the line whatever the lookups give. With ipv6,
// the IPv6 addresses of the line too (FindIPv6InLine), all in the order of the line.
void ScanAddresses(std::string_view line, std::vector<FoundAddress>& found, bool ipv6 = false);

// Appends the IPv6 addresses of the line: full and compressed forms in any case, a whole run
// of hex digits, colons and dots that inet_pton reads, with neither a letter nor "_" beside it
// (brackets are boundaries: "[2001:db8::1]:443"). A single ":" at either end of the run
// separates it from a word, whatever letter or digit the word ends in ("src:2001:db8::1",
// "[IPv6:2001:db8::1]"), but a letter before four hex digits is glued to a group
// ("x2001:db8::1"); one "." ending a sentence is not part of it. Five digits after the last
// ":" are a port, kept ("2001:db8::1:54321"). Left alone: "::"
// and words of hex letters ("dead::beef"), an address with a zone ("fe80::1%eth0"), forms
// that end in a dotted quad (the IPv4 rule's, so that everything replaced without IPv6 is
// replaced with it), and eight groups of two digits (a hardware address).
void FindIPv6InLine(std::string_view line, std::vector<FoundAddress>& found);

} // namespace hostmoor
