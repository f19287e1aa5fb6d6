// What the rewriter takes for an address: tables of lines and the addresses found in them.
#include "AddressScanner.h"

#include <gtest/gtest.h>
#include <random>

using namespace hostmoor;

namespace {

struct ScanCase {
    std::string line;
    std::vector<std::string> found; // the texts found, in order
};

std::vector<std::string> Scan(const std::string& line, bool ipv6 = true) {
    std::vector<FoundAddress> found;
    ScanAddresses(line, found, ipv6);
    std::vector<std::string> texts;
    for (const FoundAddress& f : found)
        texts.emplace_back(f.TextIn(line));
    return texts;
}

// The dotted quads found, each as its text and, where the two differ, "=" and the address read.
std::vector<std::string> ScanQuads(const std::string& line) {
    std::vector<FoundAddress> found;
    ScanAddresses(line, found);
    std::vector<std::string> texts;
    for (const FoundAddress& f : found) {
        std::string text(f.TextIn(line));
        const std::string read = HostAddressToText(f.Address);
        texts.push_back(read == text ? text : text + "=" + read);
    }
    return texts;
}

} // namespace

TEST(IPv4Scanner, FindsDottedQuadsAndLeavesEverythingElse) {
    const ScanCase cases[] = {
        // Four decimal numbers of up to three digits, each at most 255; a leading 0 is decimal.
        {"1.2.3.4 01.02.03.04 010.1.1.1 08.1.1.1 192.168.001.010 0.0.0.0 255.255.255.255",
         {"1.2.3.4", "01.02.03.04=1.2.3.4", "010.1.1.1=10.1.1.1", "08.1.1.1=8.1.1.1",
          "192.168.001.010=192.168.1.10", "0.0.0.0", "255.255.255.255"}},
        {"999.1.1.1 1.2.3.256 1..2.3 1234.1.1.1 0001.2.3.4 1.2.3. release 1.2.3.4.5", {}},
        {"2005-06-03-15.42.50.675872 mapi id 15.21.0113.013 .NET CLR 3.0.4506.2152", {}},
        // A quad that goes on as a host name is part of it.
        {"(62.99.164.82.sh.interxion.inode.at) (host129.206.196.21.maximumasp.com)", {}},
        {"hostname 155.94.196.87.static.quadranet.com UP.Browser/6.2.3.3.c.1.101", {}},
        {"abts-kk-dynamic-012.84.179.122.airtelbroadband.in", {}},
        {"dsl-Chn-static-059.45.101.203.touchtelindia.net", {}},
        {"1.2.3.4-static.example.net 1.2.3.4_a-1.example.net 1.2.3.4-1.example.net", {}},
        {"a1.2.3.4b ...1.2.3.5... 12.34.56.78:80 to 10.0.0.1.",
         {"1.2.3.4", "1.2.3.5", "12.34.56.78", "10.0.0.1"}},
        {"1.2.3.4-5.6.7.8 1.2.3.9-static 1.2.3.10-static. 1.2.3.11_x",
         {"1.2.3.4", "5.6.7.8", "1.2.3.9", "1.2.3.10", "1.2.3.11"}},
        // A product's version, and a host name and "/" before an address.
        {"Chrome/120.0.0.0 Safari/537.36 Version/17.4.1 OPR/106.0.0.0 Mobile-OS/1.2.3.4", {}},
        {"Old: msra-sa-41/10.190.173.170:9000 from MININT-FNANLI5/127.0.0.1 to",
         {"10.190.173.170", "127.0.0.1"}},
        {"[LearnerHandler-/10.10.34.11:52225] HIER_DIRECT/10.1.10.169 TIMEOUT_HIER_DIRECT/10.1.2.3",
         {"10.10.34.11", "10.1.10.169", "10.1.2.3"}},
        {"host/10.0.0.1 Thread-/10.0.0.2 Hier_Direct/10.0.0.3 /10.0.0.4 x/10.0.0.5: y/10.0.0.6:1",
         {"10.0.0.2", "10.0.0.4", "10.0.0.6"}},
    };
    for (const ScanCase& c : cases)
        EXPECT_EQ(ScanQuads(c.line), c.found) << c.line;
}

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
        {"2001:db8::1:80", {"2001:db8::1:80"}}, // a short port without brackets is a group
        // A word glued on by a colon, whatever it ends in; a port of five digits.
        {"[IPv6:2600:3c0a:e001:db::12fc:5321] v6(en0:2607:f140:6000:8:c6b3:1ff:fecd:467f)",
         {"2600:3c0a:e001:db::12fc:5321", "2607:f140:6000:8:c6b3:1ff:fecd:467f"}},
        {"src:2001:db8::1 source:2001:db8::2 remote:2001:db8::3 HIER_DIRECT/2001:db8::4",
         {"2001:db8::1", "2001:db8::2", "2001:db8::3", "2001:db8::4"}},
        {"2001:db8::1:54321 src:2001:db8::2:65535 [2001:db8::3]:54321",
         {"2001:db8::1", "2001:db8::2", "2001:db8::3"}},
        {"2001:db8::1:65536 2001:db8::1:123456 2001:db8:::54321 2026-12-07T10:00:01+00:00", {}},
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

// The line's scan finds what the search of one address at a time finds, on lines made of the
// characters that decide it.
TEST(IPv4Scanner, TheScanOfALineFindsWhatTheSearchFindsOneByOne) {
    std::mt19937 random(7);
    const std::string alphabet = "0123456789........1250/:-_ aZ\t";
    for (int n = 0; n < 20000; ++n) {
        std::string line;
        const std::size_t length = random() % 90;
        for (std::size_t i = 0; i < length; ++i)
            line += alphabet[random() % alphabet.size()];
        std::vector<FoundAddress> scanned;
        ScanAddresses(line, scanned);
        std::vector<std::pair<std::uint64_t, std::uint32_t>> expected;
        for (FoundAddress next = FindAddressInLine(line); next.Length != 0;
             next = FindAddressInLine(line, next.End() + 1))
            expected.emplace_back(next.Position, next.Length);
        std::vector<std::pair<std::uint64_t, std::uint32_t>> got;
        for (const FoundAddress& f : scanned)
            got.emplace_back(f.Position, f.Length);
        ASSERT_EQ(got, expected) << line;
    }
}
