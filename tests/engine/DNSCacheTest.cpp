#include "DNSCache.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <thread>

using namespace hostmoor;

namespace {

Address A(const char* dotted) {
    return TextToAddress(dotted);
}

std::mutex gCacheLock;

} // namespace

TEST(DNSCache, FirstAddedWinsAndEmptyNameIsAResult) {
    TDNSCache cache(gCacheLock);
    EXPECT_FALSE(cache.IsDirty());
    cache.Add("alpha", A("10.0.0.1"));
    EXPECT_TRUE(cache.IsDirty());
    cache.Add("beta", A("10.0.0.1"));
    cache.Add("", A("10.0.0.3"));
    cache.Add("gamma", A("10.0.0.3"));
    EXPECT_EQ(cache.FindAddr(A("10.0.0.1")), "alpha");
    const auto empty = cache.FindAddr(A("10.0.0.3"));
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty, "");
    EXPECT_EQ(cache.Count(), 4u); // duplicates are kept
}

TEST(DNSCache, ComparesAllFourBytes) {
    TDNSCache cache(gCacheLock);
    cache.Add("one", A("10.0.0.1"));
    for (const char* other :
         {"10.0.5.7", "10.0.0.2", "11.0.0.1", "10.1.0.1", "10.0.1.1", "0.0.0.1"})
        EXPECT_FALSE(cache.FindAddr(A(other)).has_value()) << other;
    EXPECT_TRUE(cache.FindAddr(A("10.0.0.1")).has_value());
}

TEST(DNSCache, LargeListIsSearchedInFull) {
    TDNSCache cache(gCacheLock);
    constexpr std::uint32_t kEntries = 70000;
    for (std::uint32_t i = 0; i < kEntries; ++i)
        cache.Add("h" + std::to_string(i), htonl(0x0a000000u + i));
    EXPECT_EQ(cache.FindAddr(htonl(0x0a000000u)), "h0");
    EXPECT_EQ(cache.FindAddr(htonl(0x0a000000u + kEntries - 1)), "h69999");
    EXPECT_FALSE(cache.FindAddr(htonl(0x0a000000u + kEntries)).has_value());
    Address found = 0;
    EXPECT_TRUE(cache.FindName("h69999", found));
    EXPECT_EQ(found, htonl(0x0a000000u + kEntries - 1));
    // Entries keep the order of addition.
    EXPECT_EQ(cache.Item(0).Name, "h0");
    EXPECT_EQ(cache.Item(kEntries - 1).Name, "h69999");
}

TEST(DNSCache, FindNameIsExactAndLeavesTheOutputAloneWhenAbsent) {
    TDNSCache cache(gCacheLock);
    cache.Add("alpha", A("10.0.0.1"));
    cache.Add("alpha", A("10.0.0.2"));
    Address out = A("1.1.1.1");
    EXPECT_FALSE(cache.FindName("Alpha", out));
    EXPECT_FALSE(cache.FindName("alph", out));
    EXPECT_EQ(out, A("1.1.1.1"));
    EXPECT_TRUE(cache.FindName("alpha", out));
    EXPECT_EQ(out, A("10.0.0.1"));
}

TEST(DNSCache, LongNamesAreCutTo255Characters) {
    TDNSCache cache(gCacheLock);
    const std::string name(300, 'n');
    cache.Add(name, A("10.0.0.1"));
    EXPECT_EQ(cache.FindAddr(A("10.0.0.1")), std::string(255, 'n'));
    Address out = 0;
    EXPECT_TRUE(cache.FindName(std::string(255, 'n'), out));
}

TEST(DNSIgnoreList, IgnoresExactlyTheAddedAddresses) {
    TDNSIgnoreList list(gCacheLock);
    list.Add("", A("10.0.0.1"));
    EXPECT_TRUE(list.Ignore(A("10.0.0.1")));
    EXPECT_FALSE(list.Ignore(A("10.0.0.2")));
    EXPECT_FALSE(list.Ignore(A("255.255.255.255")));
}

TEST(DNSCache, ConcurrentAddsAndSearchesUnderTheOneLock) {
    TDNSCache cache(gCacheLock);
    TDNSIgnoreList ignore(gCacheLock);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (std::uint32_t i = 0; i < 5000; ++i) {
                const Address a = htonl((static_cast<std::uint32_t>(t) << 24) | i);
                cache.Add("n" + std::to_string(i), a);
                if (i % 7 == 0)
                    ignore.Add("", a);
                EXPECT_TRUE(cache.FindAddr(a).has_value());
                EXPECT_EQ(ignore.Ignore(a), i % 7 == 0);
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(cache.Count(), 20000u);
    EXPECT_EQ(cache.FindAddr(htonl((3u << 24) | 4999u)), "n4999");
}
