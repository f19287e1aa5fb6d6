// The rewriter reading ahead with the shared lookup pool, against the serial rewriter.
#include "EngineRuntime.h"
#include "LogFile.h"
#include "RevLookup.h"
#include "TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <random>

using namespace hostmoor;
using namespace hostmoor::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

// The key the scripted resolver knows an address by.
std::string Canonical(const std::string& address) {
    Address6 v6;
    return TextToAddress6(address, v6) ? Address6ToText(v6) : address;
}

// Addresses with names (one empty, some holding a dotted address) and addresses without.
struct Zone {
    std::vector<std::string> named;
    std::vector<std::string> nameless;

    explicit Zone(std::mt19937& random) {
        for (int i = 0; i < 40; ++i)
            named.push_back("10.1." + std::to_string(i / 8) + "." + std::to_string(random() % 256));
        named.push_back("1.2.3.4"); // also met as 01.02.03.04 and 001.002.003.004
        for (int i = 0; i < 15; ++i)
            nameless.push_back("10.2.0." + std::to_string(i));
        for (int i = 0; i < 8; ++i) // IPv6 clients, met in other spellings too
            named.push_back("2001:db8::" + std::to_string(random() % 64));
        nameless.push_back("2001:db8:1::9");
    }
    void Script(ScriptedResolver& resolver) const {
        for (std::size_t i = 0; i < named.size(); ++i) {
            std::string name = "h" + std::to_string(i) + ".example";
            if (i % 7 == 3)
                name = "10.9.9." + std::to_string(i) + ".example"; // holds a dotted address
            if (i == 5)
                name = ""; // an empty official name is cached and passed over
            resolver.Answer(Canonical(named[i]), ScriptedResolver::Record(name, {named[i]}));
        }
        // Unscripted keys, the nameless among them, fail.
    }
};

std::string GenerateLog(std::mt19937& random, const Zone& zone) {
    const char* breaks[] = {"\r\n", "\n", "\r"};
    const std::string lineBreak = breaks[random() % 3];
    const char* words[] = {"GET",
                           "/index.html",
                           "HTTP/1.1",
                           "release 1.2.3.4.5",
                           "v1.2",
                           "...",
                           "999.1.1.1",
                           "15.21.0113.013",
                           "01.02.03.04",
                           "001.002.003.004",
                           "12.34.56.78:80",
                           "-",
                           "",
                           "Chrome/120.0.0.0",
                           "10:00:01",
                           "::ffff:10.2.0.3",
                           "fe80::1%eth0",
                           "[2001:DB8:0::1]:443",
                           "2001:db8::"};
    // What goes around an address in a log: a host name it is part of, a version, a host name
    // and "/" before it, a word and ":" before it, a port after it.
    const std::pair<const char*, const char*> forms[] = {{"", ".sh.example.at"},
                                                         {"host", ".example.com"},
                                                         {"", "-static.example.net"},
                                                         {"Chrome/", ""},
                                                         {"msra-sa-41/", ":9000"},
                                                         {"MININT-FNANLI5/", ""},
                                                         {"[LearnerHandler-/", ":52225]"},
                                                         {"TIMEOUT_HIER_DIRECT/", ""},
                                                         {"[IPv6:", "]"},
                                                         {"v6(en0:", ")"},
                                                         {"src:", ""},
                                                         {"", ":54321"}};
    std::string log;
    const int lines = 50 + static_cast<int>(random() % 400);
    for (int l = 0; l < lines; ++l) {
        const int pieces = static_cast<int>(random() % 6);
        for (int p = 0; p < pieces; ++p) {
            const unsigned pick = random() % 10;
            if (pick < 3) {
                log += zone.named[random() % zone.named.size()];
            } else if (pick < 4) {
                const auto& [before, after] = forms[random() % std::size(forms)];
                log += before + zone.named[random() % zone.named.size()] + after;
            } else if (pick < 6) {
                log += zone.nameless[random() % zone.nameless.size()];
            } else {
                log += words[random() % std::size(words)];
            }
            log += (random() % 5 == 0) ? "," : (random() % 7 == 0) ? "." : " ";
        }
        log += lineBreak;
        if (random() % 40 == 0)
            log += "\n"; // a stray break of the other kind
    }
    if (random() % 10 == 0)
        log += "\x1a"
               "after the end\n";
    return log;
}

class LookAheadTest : public FileFixture {
protected:
    // Rewrites in on the calling thread with the given engine; gives the output.
    std::string Rewrite(EngineRuntime& e, const std::string& input, const std::string& name) {
        WriteFile(dir / (name + ".log"), input);
        {
            LogReader in((dir / (name + ".log")).string());
            LogWriter out((dir / (name + ".rdns")).string(), (dir / (name + ".log")).string());
            char lineBreak = 0;
            RewriteLog(e, in, out, lineBreak, [] { return false; });
            out.Close();
        }
        return ReadFile(dir / (name + ".rdns"));
    }

    void StartWorker(const std::string& name) {
        auto* w = new TRevLookup(engine, (dir / (name + ".log")).string(),
                                 (dir / (name + ".rdns")).string());
        w->OnTerminate = engine.ThreadManager.DoneHandler();
        w->Start();
    }
};

} // namespace

TEST_F(LookAheadTest, OutputIsTheSerialRewritersByteForByte) {
    for (unsigned seed = 1; seed <= 30; ++seed) {
        std::mt19937 random(seed);
        const Zone zone(random);
        const std::string log = GenerateLog(random, zone);

        ScriptedResolver serialResolver;
        zone.Script(serialResolver);
        EngineRuntime serial(&serialResolver);
        serial.Resolver.ResolverStartup();
        serial.LookupPool.SetLimit(0);

        ScriptedResolver aheadResolver;
        EngineRuntime ahead(&aheadResolver);
        zone.Script(aheadResolver);
        aheadResolver.SetRandomDelay(300us, seed);
        ahead.Resolver.ResolverStartup();
        // The automatic level, or a fixed one; the lines read on a thread of their own or not.
        ahead.LookupPool.SetLimit(seed % 4 == 0 ? TLookupPool::kAutomatic
                                                : 1 + static_cast<int>(seed % 16));
        ahead.ReadLines = seed % 5 < 3 ? EngineRuntime::LineReading::OwnThread
                                       : EngineRuntime::LineReading::SameThread;
        serial.ResolveIPv6 = ahead.ResolveIPv6 = seed % 2 == 0;
        if (seed % 3 == 0) // a window of a few lines and bytes
            ahead.LookAheadWindow = {1 + seed % 5, 16 * seed, 256};
        if (seed % 3 == 1) // rests after a few calm lines, and wakes again
            ahead.LookAheadWindow = {64, 1 << 20, 1 + seed % 4};

        const std::string expected = Rewrite(serial, log, "serial" + std::to_string(seed));
        EXPECT_EQ(Rewrite(ahead, log, "ahead" + std::to_string(seed)), expected) << "seed " << seed;
        EXPECT_EQ(ahead.DNSCache.Count(), serial.DNSCache.Count()) << "seed " << seed;
        EXPECT_EQ(ahead.IgnoreList.Count(), serial.IgnoreList.Count()) << "seed " << seed;
    }
}

TEST_F(LookAheadTest, EachAddressIsLookedUpAsOftenAsTheSerialRulesSayAlsoAcrossWorkers) {
    engine.LookupPool.SetLimit(8);
    resolver.SetRandomDelay(500us, 7);
    std::string shared;
    for (int i = 0; i < 60; ++i) {
        const std::string named = "10.3.0." + std::to_string(i);
        resolver.Answer(named, ScriptedResolver::Record("n" + std::to_string(i), {named}));
        shared += named + " 10.4.0." + std::to_string(i % 20) + "\n";
    }
    for (int f = 0; f < 4; ++f)
        WriteFile(dir / ("f" + std::to_string(f) + ".log"), f % 2 ? shared : shared + shared);
    for (int f = 0; f < 4; ++f)
        StartWorker("f" + std::to_string(f));
    ASSERT_TRUE(WaitForRegistryEmpty());
    for (int i = 0; i < 60; ++i)
        EXPECT_EQ(resolver.Calls("10.3.0." + std::to_string(i)), 1) << i;
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(resolver.Calls("10.4.0." + std::to_string(i)), 3) << i;
    EXPECT_EQ(engine.LookupPool.LookupsMade(), 60 + 20 * 3);
}

TEST_F(LookAheadTest, LookupsInFlightNeverExceedTheLimit) {
    engine.LookupPool.SetLimit(4);
    std::string log;
    for (int i = 0; i < 200; ++i) {
        const std::string address =
            "10.5." + std::to_string(i / 100) + "." + std::to_string(i % 100);
        resolver.Answer(address, ScriptedResolver::Record("x", {address}));
        log += address + "\n";
    }
    WriteFile(dir / "a.log", log);
    WriteFile(dir / "b.log", log);
    resolver.CloseGate();
    StartWorker("a");
    StartWorker("b");
    ASSERT_TRUE(WaitUntil([this] { return resolver.Blocked() == 4; }));
    resolver.SetRandomDelay(200us, 3);
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(resolver.MostAtOnce(), 4);
    EXPECT_EQ(resolver.TotalCalls(), 200);
}

TEST_F(LookAheadTest, AStoppedWorkerEndsAtOnceWithItsCompletedLinesOnDisk) {
    engine.LookupPool.SetLimit(3);
    for (bool shuttingDown : {false, true}) {
        const std::string name = shuttingDown ? "closing" : "stopped";
        std::string log = "first\nsecond\n";
        for (int i = 0; i < 100; ++i) {
            const std::string address =
                "10.6." + std::to_string(shuttingDown) + "." + std::to_string(i);
            resolver.Answer(address, ScriptedResolver::Record("y", {address}));
            log += address + "\n";
        }
        WriteFile(dir / (name + ".log"), log);
        resolver.CloseGate(); // lookups that do not return
        StartWorker(name);
        ASSERT_TRUE(WaitUntil([this] { return resolver.Blocked() == 3; }));
        // The writer hands its completed lines to the system before it waits.
        ASSERT_TRUE(WaitUntil([&] { return ReadFile(dir / (name + ".rdns")).size() == 15; }));
        if (shuttingDown)
            engine.SetApplicationTerminating(true);
        else
            engine.ThreadManager.StopAll();
        ASSERT_TRUE(WaitForRegistryEmpty()); // without waiting for the lookups in progress
        EXPECT_EQ(ReadFile(dir / (name + ".rdns")).substr(0, 15), "first\r\nsecond\r\n");
        EXPECT_LE(ReadFile(dir / (name + ".rdns")).size(), 26u); // at most the line it was on
        // The queued lookups were dropped: only those in progress are made.
        resolver.OpenGate();
        ASSERT_TRUE(WaitUntil([this] { return !engine.LookupPool.Busy(); }));
        EXPECT_EQ(resolver.TotalCalls(), shuttingDown ? 6 : 3);
        engine.SetApplicationTerminating(false);
    }
}

// A worker that waits for a lookup keeps it asked for, and lets it go when it stops waiting.
TEST_F(LookAheadTest, AWaitingWorkerKeepsItsLookupAndDropsItWhenItStops) {
    TLookupPool& pool = engine.LookupPool;
    pool.SetLimit(1);
    for (const char* address : {"10.8.0.1", "10.8.0.2", "10.8.0.3"})
        resolver.Answer(address, ScriptedResolver::Record(address + std::string(".n"), {address}));
    resolver.CloseGate();
    pool.Prefetch(TextToAddress("10.8.0.1")); // takes the one thread
    ASSERT_TRUE(WaitUntil([this] { return resolver.Blocked() == 1; }));

    // Another worker asked for 10.8.0.2 and gives up; this one still waits for it.
    pool.Prefetch(TextToAddress("10.8.0.2"));
    std::atomic<int> asked{0};
    std::string name;
    std::thread waiting([&] {
        pool.Await(TextToAddress("10.8.0.2"), [&] { return ++asked > 1000000; });
        name = engine.DNSCache.FindAddr(TextToAddress("10.8.0.2")).value_or("");
    });
    ASSERT_TRUE(WaitUntil([&] { return asked > 0; })); // it is waiting
    pool.Abandon({TextToAddress("10.8.0.2")});

    // A worker that stops waiting for a lookup nobody else wants drops it.
    std::atomic<bool> stop{false};
    std::atomic<int> stopAsked{0};
    std::thread stopping([&] {
        pool.Await(TextToAddress("10.8.0.3"), [&] { return ++stopAsked > 0 && stop.load(); });
    });
    ASSERT_TRUE(WaitUntil([&] { return stopAsked > 0; }));
    stop = true;
    stopping.join();

    resolver.OpenGate();
    waiting.join();
    EXPECT_EQ(name, "10.8.0.2.n");
    ASSERT_TRUE(WaitUntil([&] { return !pool.Busy(); }));
    EXPECT_EQ(resolver.Calls("10.8.0.3"), 0);
}

// What the resolver raises ends the job that needs the address, with the lines before it kept,
// whether the lookup was made by the pool or by the worker itself.
TEST_F(LookAheadTest, AnExceptionFromTheResolverEndsTheJobThatNeedsTheAddress) {
    resolver.OnLookup = [](const std::string& key) {
        if (key == "10.5.0.3")
            throw std::runtime_error("the resolver broke");
    };
    for (const int limit : {0, 4}) {
        engine.LookupPool.SetLimit(limit);
        const std::string name = "limit" + std::to_string(limit);
        std::string log;
        for (int i = 1; i <= 5; ++i) {
            const std::string address = "10.5.0." + std::to_string(i);
            resolver.Answer(address, ScriptedResolver::Record("n" + std::to_string(i), {address}));
            log += address + "\n";
        }
        WriteFile(dir / (name + ".log"), log);
        std::string error;
        auto* w = new TRevLookup(engine, (dir / (name + ".log")).string(),
                                 (dir / (name + ".rdns")).string());
        w->OnTerminate = [this, &error](TWorker* worker) {
            error = worker->FatalError();
            engine.ThreadManager.ThreadDone(worker);
        };
        w->Start();
        ASSERT_TRUE(WaitForRegistryEmpty());
        EXPECT_EQ(error, "the resolver broke") << limit;
        EXPECT_EQ(ReadFile(dir / (name + ".rdns")), "n1\r\nn2\r\n") << limit;
    }
}
