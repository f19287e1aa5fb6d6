#include "AddressScanner.h"

#include "DNSCache.h"

#include <algorithm>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hostmoor {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsDigitOrDot(char c) {
    return IsDigit(c) || c == '.';
}

bool IsLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsWordCharacter(char c) {
    return IsLetter(c) || IsDigit(c) || c == '-' || c == '_';
}

// Four decimal numbers of one to three digits, each at most 255, joined by dots. A leading
// zero is decimal (012 is 12).
bool ReadDottedQuad(std::string_view text, Address& address) {
    unsigned char bytes[4];
    int part = 0;
    unsigned value = 0;
    std::size_t digits = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            if (digits == 0 || value > 255 || part == 4)
                return false;
            bytes[part++] = static_cast<unsigned char>(value);
            value = 0;
            digits = 0;
        } else if (IsDigit(text[i]) && digits < 3) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++digits;
        } else {
            return false;
        }
    }
    if (part != 4)
        return false;
    std::memcpy(&address, bytes, 4);
    return true;
}

// Whether the quad that ends at `last` goes on as a host name: a dot and a letter
// (62.99.164.82.sh.example.at), or "-" or "_" and a label that goes on to a dot and a letter
// (1.2.3.4-static.example.net).
bool GoesOnAsHostName(std::string_view line, std::size_t last) {
    if (last + 1 >= line.size())
        return false;
    if (line[last] == '.')
        return IsLetter(line[last + 1]);
    if (line[last] != '-' && line[last] != '_')
        return false;
    constexpr std::size_t kLongestLabel = 63;
    const std::size_t label = last + 1;
    const std::size_t limit = std::min(line.size(), label + kLongestLabel);
    std::size_t end = label;
    while (end < limit && IsWordCharacter(line[end]))
        ++end;
    return end > label && end + 1 < line.size() && line[end] == '.' && IsLetter(line[end + 1]);
}

// Whether the quad line[first, last) is a product's version: it directly follows a product
// name and "/" (Chrome/120.0.0.0, OPR/106.0.0.0) and no port follows it. A product name begins
// with a letter and does not end in "-"; one that holds "-" or "_" holds a lower-case letter
// too. So Java's host/address (msra-sa-41/10.190.173.170:9000, MININT-FNANLI5/127.0.0.1,
// LearnerHandler-/10.10.34.11:52225) and squid's HIER_DIRECT/10.1.10.169 are addresses.
bool IsVersion(std::string_view line, std::size_t first, std::size_t last) {
    if (first < 2 || line[first - 1] != '/')
        return false;
    if (last + 1 < line.size() && line[last] == ':' && IsDigit(line[last + 1]))
        return false;
    const std::size_t slash = first - 1;
    std::size_t start = slash;
    bool lower = false;
    bool joined = false;
    while (start > 0 && IsWordCharacter(line[start - 1])) {
        const char c = line[--start];
        lower = lower || (c >= 'a' && c <= 'z');
        joined = joined || c == '-' || c == '_';
    }
    // Not a step of a path or a part of a host name (/lookup/8.8.8.8, ipinfo.io/8.8.8.8).
    if (start > 0 && (line[start - 1] == '/' || line[start - 1] == '.' || line[start - 1] == ':'))
        return false;
    return start < slash && IsLetter(line[start]) && line[slash - 1] != '-' && (lower || !joined);
}

} // namespace

bool IsDottedQuad(std::string_view text) {
    Address address;
    return ReadDottedQuad(text, address);
}

namespace {

// The address that the run line[left, right) of digits and dots, with `dots` dots, stands for,
// once the dots at its ends are cut: a dotted quad that neither goes on as a host name nor is a
// product's version. Length 0: none.
FoundAddress QuadOfRun(std::string_view line, std::size_t left, std::size_t right, int dots) {
    constexpr std::size_t kLongestQuad = 15;
    std::size_t first = left;
    std::size_t last = right;
    for (; first < last && line[first] == '.'; ++first)
        --dots;
    for (; last > first && line[last - 1] == '.'; --last)
        --dots;
    Address address;
    if (dots == 3 && last - first <= kLongestQuad &&
        ReadDottedQuad(line.substr(first, last - first), address) &&
        !GoesOnAsHostName(line, last) && !IsVersion(line, first, last))
        return {first, static_cast<std::uint32_t>(last - first), address};
    return {};
}

// The search of FindAddressInLine; runEnd is set to the end of the run that held the result.
FoundAddress FindFrom(std::string_view line, std::size_t pos, const TDNSIgnoreList* ignore,
                      std::size_t& runEnd) {
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
        const FoundAddress found = QuadOfRun(line, left, right, dots);
        if (found.Length != 0 && (!ignore || !ignore->Ignore(found.Address))) {
            runEnd = right;
            return found;
        }
        pos = right + 1;
    }
    return {};
}

} // namespace

FoundAddress FindAddressInLine(std::string_view line, std::size_t from,
                               const TDNSIgnoreList* ignore) {
    std::size_t runEnd = 0;
    return FindFrom(line, from, ignore, runEnd);
}

namespace {

// The dots and the digits of line[from, from + 64) as bits, the first byte the lowest bit;
// sixteen bytes at a time where the line has them.
void DotsAndDigits(std::string_view line, std::size_t from, std::uint64_t& dots,
                   std::uint64_t& digits) {
    dots = 0;
    digits = 0;
    const std::size_t end = std::min(line.size(), from + 64);
    std::size_t at = from;
#if defined(__SSE2__)
    const __m128i dot = _mm_set1_epi8('.');
    const __m128i belowZero = _mm_set1_epi8('0' - 1);
    const __m128i aboveNine = _mm_set1_epi8('9' + 1);
    for (; at + 16 <= end; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + at));
        const int shift = static_cast<int>(at - from);
        dots |= static_cast<std::uint64_t>(
                    static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, dot))))
                << shift;
        // Signed comparisons: the bytes above 127 are below '0' here, and no digits either.
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(bytes, belowZero), _mm_cmplt_epi8(bytes, aboveNine));
        digits |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(digit)))
                  << shift;
    }
    // The last bytes: the sixteen that end the line, those already seen shifted out.
    if (at < end && end >= 16) {
        const std::size_t start = end - 16;
        const __m128i bytes =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(line.data() + start));
        const __m128i digit =
            _mm_and_si128(_mm_cmpgt_epi8(bytes, belowZero), _mm_cmplt_epi8(bytes, aboveNine));
        const unsigned seen = static_cast<unsigned>(at - start);
        const int shift = static_cast<int>(at - from);
        dots |=
            static_cast<std::uint64_t>(
                static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, dot))) >> seen)
            << shift;
        digits |=
            static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm_movemask_epi8(digit)) >> seen)
            << shift;
        return;
    }
#endif
    for (; at < end; ++at) {
        dots |= static_cast<std::uint64_t>(line[at] == '.') << (at - from);
        digits |= static_cast<std::uint64_t>(IsDigit(line[at])) << (at - from);
    }
}

} // namespace

// As FindFrom, one run after another, but the dots are found sixty-four bytes at a time, and
// one that cannot be a quad's inner dot (a digit on either side, another dot near) is passed
// over unless a run holds it: a run is the same whichever of its dots it is found from.
void ScanAddresses(std::string_view line, std::vector<FoundAddress>& found, bool ipv6) {
    found.clear();
    std::size_t pos = 0;      // where the search goes on, as in FindFrom
    bool digitBefore = false; // the last byte of the block before is a digit
    for (std::size_t block = 0; block < line.size(); block += 64) {
        std::uint64_t dots;
        std::uint64_t digits;
        DotsAndDigits(line, block, dots, digits);
        // The dots with a digit on either side: a quad's inner dots.
        const bool digitAfter = block + 64 < line.size() && IsDigit(line[block + 64]);
        const std::uint64_t between = dots & ((digits << 1) | digitBefore) &
                                      ((digits >> 1) | (std::uint64_t{digitAfter} << 63));
        digitBefore = digits >> 63;
        // ... with another dot two to four places away, as in a quad: most dots between digits
        // are a version's or a number's ("5.0", "537.36"). Of a quad's three, two are always in
        // the same block, and each is near the other.
        const std::uint64_t near =
            (dots << 2) | (dots << 3) | (dots << 4) | (dots >> 2) | (dots >> 3) | (dots >> 4);
        for (std::uint64_t candidates = between & near; candidates != 0;
             candidates &= candidates - 1) {
            const std::size_t dot = block + static_cast<std::size_t>(__builtin_ctzll(candidates));
            if (dot < pos)
                continue;
            // The run of digits and dots from the block's bits; one that goes on past the block
            // is followed byte by byte.
            const unsigned at = static_cast<unsigned>(dot - block);
            const std::uint64_t run = dots | digits;
            const std::uint64_t outAbove = ~run >> at;
            std::size_t right = dot + (outAbove ? __builtin_ctzll(outAbove) : 64 - at);
            const std::uint64_t outBelow = ~run << (63 - at);
            std::size_t left = dot + 1 - (outBelow ? __builtin_clzll(outBelow) : at + 1);
            int inner = 0;
            for (; right >= block + 64 && right < line.size() && IsDigitOrDot(line[right]); ++right)
                inner += line[right] == '.';
            for (; left <= block && left > pos && IsDigitOrDot(line[left - 1]); --left)
                inner += line[left - 1] == '.';
            left = std::max(left, pos);
            const std::size_t from = std::max(left, block) - block;
            const std::size_t to = std::min(right, block + 64) - block;
            const std::uint64_t inside = to - from >= 64
                                             ? ~std::uint64_t{0}
                                             : ((std::uint64_t{1} << (to - from)) - 1) << from;
            inner += __builtin_popcountll(dots & inside);
            if (const FoundAddress quad = QuadOfRun(line, left, right, inner); quad.Length != 0)
                found.push_back(quad);
            pos = right + 1;
        }
    }
    if (!ipv6)
        return;
    const std::size_t quads = found.size();
    FindIPv6InLine(line, found);
    if (quads > 0 && found.size() > quads) // two short lists in order: sorted where they are
        std::sort(found.begin(), found.end(), [](const FoundAddress& a, const FoundAddress& b) {
            return a.Position < b.Position;
        });
}

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsIPv6RunCharacter(char c) {
    return IsHexDigit(c) || c == ':' || c == '.';
}

// Eight groups of two hex digits: a hardware address (EUI-64), not an IPv6 address.
bool IsHardwareAddress(std::string_view text) {
    if (text.size() != 23)
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((i % 3 == 2) != (text[i] == ':'))
            return false;
    return true;
}

// The address that text is, if it is one.
bool ReadIPv6(std::string_view text, Address6& bytes) {
    // A word of hex letters is not an address ("dead::beef").
    if (text.size() < 3 || text.size() > 39 || text.find('.') != std::string_view::npos ||
        text.find_first_of("0123456789") == std::string_view::npos || IsHardwareAddress(text))
        return false;
    // Eight groups, or fewer with "::": anything else is not worth asking inet_pton.
    const auto colons = std::count(text.begin(), text.end(), ':');
    if (colons != 7 && text.find("::") == std::string_view::npos)
        return false;
    // The hex form of an IPv4-mapped address is looked up as its IPv4 address.
    return TextToAddress6(text, bytes);
}

// The colon of a port at the end of line[first, last), or last when there is none. A group
// has at most four hex digits, so five decimal digits after a single colon can only be a port
// ("2001:db8::1:54321"); a shorter port without brackets reads as a group.
std::size_t PortColon(std::string_view line, std::size_t first, std::size_t last) {
    constexpr std::size_t kDigits = 5;
    if (last - first < kDigits + 3)
        return last;
    const std::size_t colon = last - kDigits - 1;
    if (line[colon] != ':' || line[colon - 1] == ':')
        return last;
    unsigned port = 0;
    for (std::size_t i = colon + 1; i < last; ++i) {
        if (!IsDigit(line[i]))
            return last;
        port = port * 10 + static_cast<unsigned>(line[i] - '0');
    }
    return port <= 65535 ? colon : last;
}

// Where an address glued to a word by a single colon begins ("src:2001:db8::1",
// "[IPv6:2600:3c0a::1]", "en0:fe80::1"), or npos: the run line[first, last) begins with the
// last hex letters or digits of a word. Four of them are a group with a letter glued to it
// ("x2001:db8::1"), not the end of a word.
std::size_t AfterWord(std::string_view line, std::size_t first, std::size_t last) {
    constexpr std::size_t kLongestWordEnd = 3;
    if (first == 0 || !IsLetter(line[first - 1]))
        return std::string_view::npos;
    for (std::size_t i = first + 1; i < last && i <= first + kLongestWordEnd; ++i)
        if (line[i] == ':')
            return i + 1 < last && line[i + 1] != ':' ? i + 1 : std::string_view::npos;
    return std::string_view::npos;
}

// The run line[start, end) of hex digits, colons and dots that holds a colon.
void TakeIPv6Run(std::string_view line, std::size_t start, std::size_t end,
                 std::vector<FoundAddress>& found) {
    // A colon at either end that is not half of "::" separates the address from a word
    // ("client:2001:db8::1", "2001:db8::1: refused"); one "." ends a sentence.
    std::size_t first = start;
    std::size_t last = end;
    if (last - first >= 2 && line[first] == ':' && line[first + 1] != ':')
        ++first;
    if (line[last - 1] == '.')
        --last;
    else if (last - first >= 2 && line[last - 1] == ':' && line[last - 2] != ':')
        --last;
    const char before = first > 0 ? line[first - 1] : ' ';
    const char after = last < line.size() ? line[last] : ' ';
    if (IsLetter(after) || after == '_' || after == '%')
        return;
    // The whole run unless a word is glued to it, else what follows the word; each as it
    // stands, then without a port at its end.
    const std::size_t port = PortColon(line, first, last);
    const std::size_t starts[] = {IsLetter(before) || before == '_' ? std::string_view::npos
                                                                    : first,
                                  AfterWord(line, first, last)};
    for (const std::size_t from : starts) {
        if (from == std::string_view::npos)
            continue;
        for (const std::size_t to : {last, port}) {
            Address6 bytes;
            if (to > from && ReadIPv6(line.substr(from, to - from), bytes)) {
                found.push_back({from, static_cast<std::uint32_t>(to - from), HostAddress(bytes)});
                return;
            }
            if (port == last)
                break;
        }
    }
}

} // namespace

void FindIPv6InLine(std::string_view line, std::vector<FoundAddress>& found) {
    std::size_t pos = 0;
    while (pos < line.size()) {
        const void* colon = std::memchr(line.data() + pos, ':', line.size() - pos);
        if (!colon)
            break;
        const std::size_t at =
            static_cast<std::size_t>(static_cast<const char*>(colon) - line.data());
        std::size_t start = at;
        while (start > pos && IsIPv6RunCharacter(line[start - 1]))
            --start;
        std::size_t end = at + 1;
        while (end < line.size() && IsIPv6RunCharacter(line[end]))
            ++end;
        TakeIPv6Run(line, start, end, found);
        pos = end;
    }
}

} // namespace hostmoor
