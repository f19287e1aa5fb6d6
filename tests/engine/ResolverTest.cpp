#include "Resolver.h"

#include "TestSupport.h"

#include <gtest/gtest.h>

using namespace hostmoor;
using hostmoor::test::ScriptedResolver;

namespace {

void EnsureStopped(ResolverAccess& r) {
    while (r.ResolverStarted())
        r.ResolverCleanup();
}

std::vector<std::string> Dotted(const HostRecord& record) {
    std::vector<std::string> out;
    for (Address a : record.Addresses)
        out.push_back(AddressToText(a));
    return out;
}

class SystemResolverTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_TEST_DNS();
        ASSERT_EQ(r.ResolverStartup(), 0);
    }
    ResolverAccess r; // the system resolver
};

} // namespace

TEST(ResolverErrorText, MapsTheTable) {
    EXPECT_EQ(ResolverErrorText(10014), "The address is invalid");
    EXPECT_EQ(ResolverErrorText(10050), "Network subsystem failure");
    EXPECT_EQ(ResolverErrorText(10093), "Application not initialised");
    EXPECT_EQ(ResolverErrorText(11001), "Host not found");
    EXPECT_EQ(ResolverErrorText(11002), "Try again");
    EXPECT_EQ(ResolverErrorText(11003), "Nonrecoverable error occurred");
    EXPECT_EQ(ResolverErrorText(11004), "No data");
    EXPECT_EQ(ResolverErrorText(-1), "Error: -1");
    EXPECT_EQ(ResolverErrorText(0), "Error: 0");
    EXPECT_EQ(ResolverErrorText(11005), "Error: 11005");
}

TEST(ResolverStartup, FlagAndReturnValues) {
    ResolverAccess r;
    EnsureStopped(r);
    EXPECT_EQ(r.ResolverCleanup(), -1);
    EXPECT_EQ(r.ResolverStartup(), 0);
    EXPECT_TRUE(r.ResolverStarted());
    EXPECT_EQ(r.ResolverStartup(), -1);
    EXPECT_EQ(r.ResolverCleanup(), 0);
    EXPECT_FALSE(r.ResolverStarted());
    EXPECT_EQ(r.ResolverCleanup(), -1);
}

TEST(ResolverStartup, LookupsWhileStoppedFailWithoutAskingTheResolver) {
    ScriptedResolver scripted;
    scripted.Answer("a.test", ScriptedResolver::Record("a.test", {"10.0.0.1"}));
    scripted.Answer("10.0.0.1", ScriptedResolver::Record("a.test", {"10.0.0.1"}));
    ResolverAccess r(&scripted);
    EnsureStopped(r);
    EXPECT_EQ(r.LookupHostByName("a.test").ErrorCode, 10093);
    EXPECT_EQ(r.LookupHostByAddress(TextToAddress("10.0.0.1")).ErrorCode, 10093);
    EXPECT_EQ(scripted.TotalCalls(), 0);

    r.ResolverStartup();
    auto outcome = r.LookupHostByName("a.test");
    ASSERT_TRUE(outcome.Host);
    EXPECT_EQ(outcome.Host->Name, "a.test");
    r.ResolverCleanup();
    EXPECT_EQ(r.LookupHostByAddress(TextToAddress("10.0.0.1")).ErrorCode, 10093);
    EXPECT_EQ(scripted.TotalCalls(), 1);
}

TEST(AddressText, ConvertsAsInetAddr) {
    EXPECT_EQ(AddressToText(TextToAddress("10.1.2.3")), "10.1.2.3");
    EXPECT_EQ(AddressToText(TextToAddress("01.02.03.04")), "1.2.3.4"); // octal parts
    EXPECT_EQ(AddressToText(TextToAddress("12345")), "0.0.48.57");
    EXPECT_EQ(AddressToText(TextToAddress("10.1")), "10.0.0.1");
    EXPECT_EQ(TextToAddress("999.1.1.1"), 0xffffffffu);
    EXPECT_EQ(TextToAddress("host"), 0xffffffffu);
    EXPECT_EQ(TextToAddress(std::string(100, '1')), 0xffffffffu);
    // Texts of any length are read as inet_addr reads them: here an octal 012.
    EXPECT_EQ(AddressToText(TextToAddress(std::string(70, '0') + "12.1.2.3")), "10.1.2.3");
    // Network byte order: the first byte in memory is the first part.
    const Address a = TextToAddress("192.0.2.1");
    EXPECT_EQ(reinterpret_cast<const unsigned char*>(&a)[0], 192);
}

TEST_F(SystemResolverTest, ForwardGivesOfficialNameAddressesInOrderAndAlias) {
    auto outcome = r.LookupHostByName("multi.hm.test");
    ASSERT_TRUE(outcome.Host) << outcome.ErrorCode;
    EXPECT_EQ(outcome.Host->Name, "multi.hm.test");
    EXPECT_EQ(Dotted(*outcome.Host),
              (std::vector<std::string>{"192.0.2.11", "192.0.2.12", "192.0.2.13"}));

    auto alias = r.LookupHostByName("alias.hm.test");
    ASSERT_TRUE(alias.Host) << alias.ErrorCode;
    EXPECT_EQ(alias.Host->Name, "multi.hm.test");
    EXPECT_EQ(alias.Host->Aliases, (std::vector<std::string>{"alias.hm.test"}));
    EXPECT_EQ(Dotted(*alias.Host), Dotted(*outcome.Host));
}

TEST_F(SystemResolverTest, ReverseGivesTheNameOfThePtrRecord) {
    auto outcome = r.LookupHostByAddress(TextToAddress("192.0.2.3"));
    ASSERT_TRUE(outcome.Host) << outcome.ErrorCode;
    EXPECT_EQ(outcome.Host->Name, "host-3.hm.test");
    EXPECT_EQ(Dotted(*outcome.Host), (std::vector<std::string>{"192.0.2.3"}));
}

TEST_F(SystemResolverTest, FailuresMapToTheTableCodes) {
    EXPECT_EQ(r.LookupHostByName("no-such-host.hm.test").ErrorCode, 11001);
    EXPECT_EQ(r.LookupHostByName("no-such-host.invalid").ErrorCode, 11001);
    EXPECT_EQ(r.LookupHostByAddress(TextToAddress("192.0.2.99")).ErrorCode, 11001);
    EXPECT_EQ(r.LookupHostByName("x.down.hm.test").ErrorCode, 11002);
    EXPECT_EQ(r.LookupHostByName("v6only.hm.test").ErrorCode, 11004);
}

TEST_F(SystemResolverTest, IPv6LookupsBothWaysWithTheTableCodes) {
    auto v6 = [](const char* text) {
        Address6 a;
        EXPECT_TRUE(TextToAddress6(text, a)) << text;
        return a;
    };
    auto reverse = r.LookupHostByAddress6(v6("2001:DB8::1"));
    ASSERT_TRUE(reverse.Host) << reverse.ErrorCode;
    EXPECT_EQ(reverse.Host->Name, "v6only.hm.test");
    EXPECT_EQ(r.LookupHostByAddress(HostAddress(v6("2001:db8::40"))).Host->Name, "dual.hm.test");
    EXPECT_EQ(r.LookupHostByAddress6(v6("2001:db8::99")).ErrorCode, 11001);
    EXPECT_EQ(r.LookupHostByAddress6(v6("2001:db8:dead::1")).ErrorCode, 11002);

    auto forward = r.LookupHostByName6("dual.hm.test");
    ASSERT_TRUE(forward.Host) << forward.ErrorCode;
    EXPECT_EQ(forward.Host->Name, "dual.hm.test");
    EXPECT_EQ(forward.Host->Addresses6,
              (std::vector<Address6>{v6("2001:db8::40"), v6("2001:db8::41")}));
    EXPECT_EQ(r.LookupHostByName6("multi.hm.test").ErrorCode, 11004);
    EXPECT_EQ(r.LookupHostByName6("no-such-host.hm.test").ErrorCode, 11001);
}

TEST_F(SystemResolverTest, StoppedFlagGives10093BeforeAsking) {
    EnsureStopped(r);
    EXPECT_EQ(r.LookupHostByName("multi.hm.test").ErrorCode, 10093);
    ASSERT_EQ(r.ResolverStartup(), 0);
    EXPECT_TRUE(r.LookupHostByName("multi.hm.test").Host);
    ASSERT_EQ(r.ResolverCleanup(), 0);
    EXPECT_EQ(r.LookupHostByAddress(TextToAddress("192.0.2.3")).ErrorCode, 10093);
}
