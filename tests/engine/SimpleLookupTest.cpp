#include "SimpleLookup.h"

#include "TestSupport.h"
#include "ThreadManager.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <thread>

using namespace hostmoor;
using namespace hostmoor::test;
using namespace std::chrono_literals;

namespace {

using Lines = std::vector<std::string>;

class SimpleLookupTest : public EngineFixture {
protected:
    void Lookup(const std::string& subject) {
        auto* w = new TSimpleLookup(engine, subject);
        w->OnTerminate = engine.ThreadManager.DoneHandler();
        w->Start();
    }
    Lines Run(const std::string& subject) {
        Lookup(subject);
        EXPECT_TRUE(WaitForRegistryEmpty());
        return TakeResults();
    }
    void WaitUntilBlocked(int n) {
        WaitUntil([&] { return resolver.Blocked() >= n; });
        ASSERT_EQ(resolver.Blocked(), n);
    }
};

// At each range pause, waits until the member just made is blocked in its lookup; at the
// n-th pause stops every worker.
std::atomic<int> gStopAtPause{0};
std::atomic<int> gPauses{0};
ScriptedResolver* gResolver = nullptr;
EngineRuntime* gEngine = nullptr;
std::atomic<bool> gStopped{false};
void StoppingSleep(int ms) {
    if (ms != 500)
        return;
    const int pauses = ++gPauses;
    WaitUntil([pauses] { return gResolver->Blocked() >= pauses; });
    if (pauses == gStopAtPause.load()) {
        gEngine->ThreadManager.StopAll();
        gStopped = true;
    }
}

} // namespace

TEST_F(SimpleLookupTest, RetriesOnlyTryAgainAtMostThreeTimes) {
    resolver.Fail("10.0.0.1", kErrTryAgain);
    resolver.Fail("10.0.0.2", kErrHostNotFound);
    resolver.Script("busy.test", {{std::nullopt, kErrTryAgain},
                                  {ScriptedResolver::Record("busy.test", {"10.0.0.3"}), 0}});
    resolver.Fail("gone.test", kErrNoData);

    EXPECT_EQ(Run("10.0.0.1"), (Lines{"10.0.0.1: Try again"}));
    EXPECT_EQ(resolver.Calls("10.0.0.1"), 3);
    EXPECT_EQ(Run("10.0.0.2"), (Lines{"10.0.0.2: Host not found"}));
    EXPECT_EQ(resolver.Calls("10.0.0.2"), 1);
    EXPECT_EQ(Run("busy.test"), (Lines{"Host: busy.test IP: 10.0.0.3"}));
    EXPECT_EQ(resolver.Calls("busy.test"), 2);
    EXPECT_EQ(Run("gone.test"), (Lines{"gone.test: No data"}));
    EXPECT_EQ(resolver.Calls("gone.test"), 1);
}

TEST_F(SimpleLookupTest, ResultLinesWithExtendedInformationInRecordOrder) {
    resolver.Answer("10.0.0.1",
                    ScriptedResolver::Record("one.test", {"10.0.0.1"}, {"uno.test", "eins.test"}));
    resolver.Answer(
        "www.test",
        ScriptedResolver::Record("web.test", {"10.0.0.7", "10.0.0.5", "10.0.0.6"}, {"www.test"}));
    EXPECT_EQ(Run("10.0.0.1"), (Lines{"IP: 10.0.0.1 Host: one.test", "Aliases: uno.test"}));
    EXPECT_EQ(Run("www.test"), (Lines{"Host: web.test IP: 10.0.0.7", "Alternate address: 10.0.0.5",
                                      "Alternate address: 10.0.0.6", "Aliases: www.test"}));
    engine.ShowExtendedInfo = false;
    EXPECT_EQ(Run("www.test"), (Lines{"Host: web.test IP: 10.0.0.7"}));
}

// With extended information, an address's name that does not point back says so in a last
// line; one that does adds none (above).
TEST_F(SimpleLookupTest, ANameThatDoesNotPointBackSaysSoWithExtendedInformation) {
    resolver.Answer("10.0.0.2", ScriptedResolver::Record("crawl.test", {"10.0.0.2"}));
    resolver.Answer("A crawl.test",
                    ScriptedResolver::Record("crawl.test", {"10.9.9.8", "10.9.9.9"}));
    resolver.Answer("2001:db8::2", ScriptedResolver::Record("ghost.test", {"2001:db8::2"}));
    resolver.Fail("AAAA ghost.test", kErrTryAgain);
    EXPECT_EQ(Run("10.0.0.2"), (Lines{"IP: 10.0.0.2 Host: crawl.test",
                                      "Not confirmed: crawl.test resolves to 10.9.9.8, 10.9.9.9"}));
    EXPECT_EQ(Run("2001:db8::2"),
              (Lines{"IP: 2001:db8::2 Host: ghost.test", "Not confirmed: ghost.test: Try again"}));
    engine.ShowExtendedInfo = false;
    EXPECT_EQ(Run("10.0.0.2"), (Lines{"IP: 10.0.0.2 Host: crawl.test"}));
    EXPECT_EQ(resolver.Calls("A crawl.test"), 1);
}

TEST_F(SimpleLookupTest, OtherSubjectsAreLookedUpForwardAndShowTheResolversError) {
    EXPECT_EQ(Run("mail_host"), (Lines{"mail_host: Host not found"}));
    EXPECT_EQ(resolver.Calls("mail_host"), 1);
    engine.Resolver.ResolverCleanup();
    EXPECT_EQ(Run("10.0.0.9"), (Lines{"10.0.0.9: Application not initialised"}));
}

TEST_F(SimpleLookupTest, RangeExpandsOneMemberPerAddressWithAPauseAfterEach) {
    CountingSleep sleeps(engine);
    for (int n = 3; n <= 5; ++n)
        resolver.Answer(
            "10.0.0." + std::to_string(n),
            ScriptedResolver::Record("h" + std::to_string(n), {"10.0.0." + std::to_string(n)}));
    Lines lines = Run("10.0.0.[3-5]");
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (Lines{"", "IP: 10.0.0.3 Host: h3", "IP: 10.0.0.4 Host: h4",
                            "IP: 10.0.0.5 Host: h5"}));
    EXPECT_EQ(sleeps.Count(500), 3);
}

TEST_F(SimpleLookupTest, StarRangeCoversTheWholeLastSection) {
    CountingSleep sleeps(engine);
    Lines lines = Run("10.1.2.3*");
    EXPECT_EQ(lines.size(), 257u);
    EXPECT_EQ(resolver.Calls("10.1.2.0"), 1);
    EXPECT_EQ(resolver.Calls("10.1.2.255"), 1);
    EXPECT_EQ(sleeps.Count(500), 256);
}

TEST_F(SimpleLookupTest, RangeThatExpandsToNothingPostsOneEmptyLine) {
    CountingSleep sleeps(engine);
    EXPECT_EQ(Run("10.0.0.[3-1]"), (Lines{""}));
    EXPECT_EQ(resolver.TotalCalls(), 0);
    EXPECT_EQ(sleeps.Count(500), 0);
}

TEST_F(SimpleLookupTest, ARangeEndsAfterItsUpperBoundWhateverTheBound) {
    CountingSleep sleeps(engine);
    Run("10.1.2.[2147483647-2147483647]");
    EXPECT_EQ(sleeps.Count(500), 1);
    EXPECT_EQ(resolver.TotalCalls(), 1);
    EXPECT_EQ(resolver.Calls("255.255.255.255"), 1); // inet_addr cannot read the member
}

TEST_F(SimpleLookupTest, StopDuringARangeEndsItBeforeTheNextMember) {
    gPauses = 0;
    gStopAtPause = 2;
    gResolver = &resolver;
    gEngine = &engine;
    engine.Clock.SetSleepFunction(&StoppingSleep);
    resolver.CloseGate();
    gStopped = false;
    Lookup("10.0.0.[1-9]");
    ASSERT_TRUE(WaitUntil([] { return gStopped.load(); }));
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    engine.Clock.SetSleepFunction(nullptr);
    EXPECT_EQ(resolver.Calls("10.0.0.1"), 1);
    EXPECT_EQ(resolver.Calls("10.0.0.2"), 1);
    EXPECT_EQ(resolver.TotalCalls(), 2);
    EXPECT_EQ(gPauses.load(), 2);
    const Lines left = TakeResults();
    EXPECT_TRUE(left.empty()) << left.size() << " "
                              << (left.empty() ? "" : left[0]); // nobody posted
}

TEST_F(SimpleLookupTest, AWorkerAskedToStopPostsNothing) {
    resolver.Answer("a.test", ScriptedResolver::Record("a.test", {"10.0.0.1"}));
    resolver.CloseGate();
    Lookup("a.test");
    WaitUntilBlocked(1);
    engine.ThreadManager.StopAll();
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_TRUE(TakeResults().empty());

    // Stopped before it starts: no lookup either.
    auto* w = new TSimpleLookup(engine, "a.test");
    w->OnTerminate = engine.ThreadManager.DoneHandler();
    w->Terminate();
    w->Start();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(resolver.Calls("a.test"), 1);
    EXPECT_TRUE(TakeResults().empty());
}

TEST_F(SimpleLookupTest, ShuttingDownPostsNothing) {
    resolver.CloseGate();
    Lookup("10.0.0.1");
    WaitUntilBlocked(1);
    engine.SetApplicationTerminating(true);
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    engine.SetApplicationTerminating(false);
    EXPECT_TRUE(TakeResults().empty());
}

TEST_F(SimpleLookupTest, PostsNothingOnceTheResultsListIsReleased) {
    resolver.CloseGate();
    Lookup("10.0.0.1");
    WaitUntilBlocked(1);
    engine.LookupResults.Release();
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_TRUE(TakeResults().empty());
}

TEST_F(SimpleLookupTest, ManySubjectsAndARangeAtOnceEveryLineExactlyOnce) {
    CountingSleep sleeps(engine, 1);
    resolver.SetDelay(1ms);
    constexpr int kSubjects = 400;
    for (int i = 0; i < kSubjects; ++i) {
        const std::string name = "h" + std::to_string(i) + ".test";
        resolver.Answer(name, ScriptedResolver::Record(name, {"10.1.0.1"}));
    }
    Lookup("10.2.0.[0-99]");
    for (int i = 0; i < kSubjects; ++i) {
        engine.Clock.SleepMs(0);
        Lookup("h" + std::to_string(i) + ".test");
    }
    ASSERT_TRUE(WaitForRegistryEmpty(60s));
    std::map<std::string, int> seen;
    for (const auto& line : TakeResults())
        ++seen[line];
    EXPECT_EQ(seen.size(), kSubjects + 100u + 1u);
    for (int i = 0; i < kSubjects; ++i)
        EXPECT_EQ((seen["Host: h" + std::to_string(i) + ".test IP: 10.1.0.1"]), 1) << i;
    for (int n = 0; n < 100; ++n)
        EXPECT_EQ((seen["10.2.0." + std::to_string(n) + ": Host not found"]), 1) << n;
    EXPECT_EQ(seen[""], 1);
}

class SimpleLookupDnsTest : public SimpleLookupTest {
protected:
    void SetUp() override {
        SimpleLookupTest::SetUp();
        REQUIRE_TEST_DNS();
        engine.Resolver.SetResolver(nullptr);
    }
};

TEST_F(SimpleLookupDnsTest, NameWithThreeAddressesAndAnAlias) {
    EXPECT_EQ(Run("alias.hm.test"),
              (Lines{"Host: multi.hm.test IP: 192.0.2.11", "Alternate address: 192.0.2.12",
                     "Alternate address: 192.0.2.13", "Aliases: alias.hm.test"}));
}

TEST_F(SimpleLookupDnsTest, UnknownNameAndAddress) {
    EXPECT_EQ(Run("no-such-host.hm.test"), (Lines{"no-such-host.hm.test: Host not found"}));
    EXPECT_EQ(Run("192.0.2.99"), (Lines{"192.0.2.99: Host not found"}));
}

TEST_F(SimpleLookupDnsTest, IPv6LiteralsInReverseAndNamesWithIPv6Addresses) {
    EXPECT_EQ(Run("2001:db8:0::40"), (Lines{"IP: 2001:db8::40 Host: dual.hm.test"}));
    EXPECT_EQ(Run("2001:db8::99"), (Lines{"2001:db8::99: Host not found"}));
    EXPECT_EQ(Run("v6only.hm.test"), (Lines{"Host: v6only.hm.test IPv6: 2001:db8::1"}));
    // Extended information: the IPv6 addresses follow the IPv4 lines; without it, nothing more.
    EXPECT_EQ(Run("dual.hm.test"),
              (Lines{"Host: dual.hm.test IP: 192.0.2.40", "IPv6 address: 2001:db8::40",
                     "IPv6 address: 2001:db8::41"}));
    engine.ShowExtendedInfo = false;
    EXPECT_EQ(Run("dual.hm.test"), (Lines{"Host: dual.hm.test IP: 192.0.2.40"}));
    EXPECT_EQ(Run("multi.hm.test"), (Lines{"Host: multi.hm.test IP: 192.0.2.11"}));
}

TEST_F(SimpleLookupDnsTest, RangeOverThePtrBlockPostsOneLinePerAddress) {
    CountingSleep sleeps(engine);
    Lines lines = Run("192.0.2.[1-10]");
    std::sort(lines.begin(), lines.end());
    Lines expected{""};
    for (int n = 1; n <= 10; ++n)
        expected.push_back("IP: 192.0.2." + std::to_string(n) + " Host: host-" + std::to_string(n) +
                           ".hm.test");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(lines, expected);
}
