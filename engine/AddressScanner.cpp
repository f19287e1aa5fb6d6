#include "AddressScanner.h"

#include "DNSCache.h"

#include <cstring>

namespace hostmoor {

namespace {

bool IsDigitOrDot(char c) {
    return (c >= '0' && c <= '9') || c == '.';
}

} // namespace

bool IsDottedQuad(std::string_view text) {
    int dots = 0;
    for (char c : text) {
        if (c == '.')
            ++dots;
        else if (c < '0' || c > '9')
            return false;
    }
    return dots == 3;
}

namespace {

// TextToAddress for a dotted quad; the plain form of four decimal parts of 0 to 255 is read
// here, anything else (octal parts, empty parts, large values) by inet_addr.
Address QuadToAddress(std::string_view quad) {
    std::uint32_t bytes[4];
    int part = 0;
    std::uint32_t value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i <= quad.size(); ++i) {
        if (i == quad.size() || quad[i] == '.') {
            if (digits == 0 || digits > 3 || value > 255 || (digits > 1 && quad[i - digits] == '0'))
                return TextToAddress(quad);
            bytes[part++] = value;
            value = 0;
            digits = 0;
        } else {
            value = value * 10 + static_cast<std::uint32_t>(quad[i] - '0');
            ++digits;
        }
    }
    const unsigned char b[4] = {
        static_cast<unsigned char>(bytes[0]), static_cast<unsigned char>(bytes[1]),
        static_cast<unsigned char>(bytes[2]), static_cast<unsigned char>(bytes[3])};
    Address address;
    std::memcpy(&address, b, 4);
    return address;
}

} // namespace

FoundAddress FindAddressInLine(std::string_view line, std::size_t from,
                               const TDNSIgnoreList* ignore) {
    std::size_t pos = from;
    while (pos < line.size()) {
        const std::size_t dot = line.find('.', pos);
        if (dot == std::string_view::npos)
            break;
        std::size_t left = dot;
        while (left > pos && IsDigitOrDot(line[left - 1]))
            --left;
        // The run of digits and dots, and the dots inside it once those at its ends are cut:
        // a dotted quad has three of them.
        std::size_t right = dot + 1;
        int dots = 1;
        while (right < line.size() && IsDigitOrDot(line[right]))
            dots += line[right++] == '.';
        std::size_t first = left;
        std::size_t last = right;
        for (; first < last && line[first] == '.'; ++first)
            --dots;
        for (; last > first && line[last - 1] == '.'; --last)
            --dots;
        if (dots == 3) {
            const std::string_view candidate = line.substr(first, last - first);
            const Address address = QuadToAddress(candidate);
            if (!ignore || !ignore->Ignore(address))
                return {candidate, first, right, address};
        }
        pos = right + 1;
    }
    return {};
}

void ScanAddresses(std::string_view line, std::vector<FoundAddress>& found) {
    found.clear();
    for (FoundAddress next = FindAddressInLine(line); !next.Text.empty();
         next = FindAddressInLine(line, next.RunEnd + 1))
        found.push_back(next);
}

} // namespace hostmoor
