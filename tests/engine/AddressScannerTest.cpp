// The IPv6 recogniser, as a table of lines and the addresses found in them.
#include "AddressScanner.h"

#include <gtest/gtest.h>

using namespace hostmoor;

namespace {

struct ScanCase {
    std::string line;
    std::vector<std::string> found; // the texts found, in order
};

std::vector<std::string> Scan(const std::string& line) {
    std::vector<FoundAddress> found;
    ScanAddresses(line, found, true);
    std::vector<std::string> texts;
    for (const FoundAddress& f : found)
        texts.emplace_back(f.TextIn(line));
    return texts;
}

} // namespace

TEST(IPv6Scanner, FindsAddressesAndLeavesEverythingElse) {
    const ScanCase cases[] = {
        // Accepted forms, with their boundaries.
        {"2001:db8::1 - - [07/Dec/2026:10:00:01 +0000]", {"2001:db8::1"}},
        {"2001:0DB8:0000:0000:0000:0000:0000:0001 x", {"2001:0DB8:0000:0000:0000:0000:0000:0001"}},
        {"1:2:3:4:5:6:7:8 ::1 fe80:: ::", {"1:2:3:4:5:6:7:8", "::1", "fe80::"}},
        {"[2001:db8::1]:443 http://[2001:db8::a]/x (2001:db8::b)",
         {"2001:db8::1", "2001:db8::a", "2001:db8::b"}},
        {"from 2001:db8::1. Then 2001:db8::2: refused 2001:db8::",
         {"2001:db8::1", "2001:db8::2", "2001:db8::"}},
        {"client:2001:db8::1 ip:2001:db8::2 2001:db8::3:\"x\" 10::20",
         {"2001:db8::1", "2001:db8::2", "2001:db8::3", "10::20"}},
        {"2001:db8::1:80", {"2001:db8::1:80"}}, // a port without brackets is part of it
        // Near misses: times, hardware addresses, code, versions, partial runs.
        {"10:00:01 10:00:01.123 [07/Dec/2026:10:00:00 +0000] 12:34", {}},
        {"aa:bb:cc:dd:ee:ff aa-bb-cc-dd-ee-ff 00:11:22:33:44:55:66:77", {}},
        {"std::vector Cache::add version 1:2 deadbeef ::: dead::beef cafe:: abc::def", {}},
        {"1:2:3:4:5:6:7:8:9 1:2:3:4::5:6:7:8 1::2::3 fe801::1 ::00001", {}},
        {"2001:db8::1x x2001:db8::1 _2001:db8::1 2001:db8::1_", {}},
        {"0123:4567:89ab:cdef:0123:4567:89ab:cdef0 2001:db8:::1", {}},
        // Zones, and what the IPv4 rule takes.
        {"fe80::1%eth0 fe80::2%25eth0", {}},
        // The hex form of an IPv4-mapped address is found, to be looked up as IPv4.
        {"::ffff:192.0.2.1 ::ffff:c000:201 64:ff9b::192.0.2.9",
         {"192.0.2.1", "::ffff:c000:201", "192.0.2.9"}},
        {"192.0.2.1 [2001:db8::1] 1.2.3.4:80 ::2", {"192.0.2.1", "2001:db8::1", "1.2.3.4", "::2"}},
    };
    for (const ScanCase& c : cases)
        EXPECT_EQ(Scan(c.line), c.found) << c.line;
}

TEST(IPv6Scanner, EverySpellingOfAnAddressIsOneKeyAndIsFormattedOneWay) {
    const std::pair<const char*, const char*> cases[] = {
        {"2001:DB8:0:0:0:0:0:1", "2001:db8::1"},
        {"2001:db8:0000::1", "2001:db8::1"},
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},    // the first of two equal runs
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},                // the longer run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"}, // a single zero group stays
        {"::2:3", "::2:3"},
        {"0:0:0:0:0:0:0:0", "::"},
        {"::ffff:c000:201", "::ffff:192.0.2.1"},
    };
    for (const auto& [text, canonical] : cases) {
        Address6 a;
        Address6 b;
        ASSERT_TRUE(TextToAddress6(text, a)) << text;
        ASSERT_TRUE(TextToAddress6(canonical, b)) << canonical;
        EXPECT_EQ(a, b) << text;
        EXPECT_EQ(Address6ToText(a), canonical) << text;
    }
    // The two families never share a key.
    Address6 mapped;
    ASSERT_TRUE(TextToAddress6("::ffff:192.0.2.1", mapped));
    EXPECT_TRUE(HostAddress(mapped).IsV4());
    EXPECT_EQ(HostAddress(mapped), HostAddress(TextToAddress("192.0.2.1")));
    EXPECT_NE(HostAddress(TextToAddress("0.0.0.1")),
              HostAddress(Address6{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}
