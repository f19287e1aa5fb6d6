#include "RevLookup.h"

#include "AddressScanner.h"
#include "DNSCache.h"
#include "LogFile.h"
#include "TestSupport.h"
#include "ThreadManager.h"

#include <algorithm>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <thread>
#include <unistd.h>

using namespace hostmoor;
using namespace hostmoor::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class RevLookupTest : public FileFixture {
protected:
    void SetUp() override {
        FileFixture::SetUp();
        engine.TotalBytes = 0;
        engine.ProcessedBytes = 1;
        for (const auto& [address, name] :
             std::vector<std::pair<const char*, const char*>>{{"192.168.1.10", "n10.example"},
                                                              {"10.0.0.1", "n1.example"},
                                                              {"1.2.3.4", "n4.example"},
                                                              {"5.6.7.8", "n8.example"},
                                                              {"12.34.56.78", "n78.example"}})
            resolver.Answer(address, ScriptedResolver::Record(name, {address}));
    }

    std::string Rewrite(const std::string& input) {
        WriteFile(dir / "in.log", input);
        const std::string error = Process(dir / "in.log", dir / "in.rdns");
        EXPECT_EQ(error, "");
        return ReadFile(dir / "in.rdns");
    }

    std::string RewriteLine(const std::string& line) {
        std::string out = Rewrite(line + "\n");
        EXPECT_GE(out.size(), 2u);
        return out.substr(0, out.size() - 2);
    }
};

} // namespace

TEST_F(RevLookupTest, ReplacesEveryUsableAddressInALine) {
    EXPECT_EQ(RewriteLine("192.168.1.10 - - [01/Jan/1997:10:00:00 +0000] GET /index.html "
                          "HTTP/1.0 200 1234"),
              "n10.example - - [01/Jan/1997:10:00:00 +0000] GET /index.html HTTP/1.0 200 1234");
    EXPECT_EQ(RewriteLine("GET /index.html HTTP/1.0"), "GET /index.html HTTP/1.0");
    EXPECT_EQ(RewriteLine("version 1.2.3.4.5 from 10.0.0.1."),
              "version 1.2.3.4.5 from n1.example.");
    EXPECT_EQ(RewriteLine("...1.2.3.4..."), "...n4.example...");
    EXPECT_EQ(RewriteLine("a1.2.3.4b"), "an4.exampleb");
    EXPECT_EQ(RewriteLine("12.34.56.78:80"), "n78.example:80");
    EXPECT_EQ(RewriteLine("1.2.3.4,5.6.7.8"), "n4.example,n8.example");
    EXPECT_EQ(RewriteLine("01.02.03.04"), "n4.example"); // decimal parts: 1.2.3.4
}

TEST_F(RevLookupTest, ADottedQuadAfterAProductNameIsAVersion) {
    resolver.Answer("120.0.0.0", ScriptedResolver::Record("isp-gw.example.cn", {"120.0.0.0"}));
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"Chrome/120.0.0.0 Safari/537.36", "Chrome/120.0.0.0 Safari/537.36"},
        {"Version/1.2.3.4 x_2/1.2.3.4 Mobile-OS/1.2.3.4",
         "Version/1.2.3.4 x_2/1.2.3.4 Mobile-OS/1.2.3.4"},
        {"http://1.2.3.4/ GET /1.2.3.4", "http://n4.example/ GET /n4.example"},
        {"GET /lookup/1.2.3.4 ipinfo.io/1.2.3.4", "GET /lookup/n4.example ipinfo.io/n4.example"},
        {"2x/1.2.3.4 _a/1.2.3.4 a/.1.2.3.4", "2x/n4.example _a/n4.example a/.n4.example"},
        {"a1.2.3.4b", "an4.exampleb"},
    };
    for (const auto& [line, expected] : cases)
        EXPECT_EQ(RewriteLine(line), expected) << line;
    EXPECT_EQ(resolver.Calls("120.0.0.0"), 0);
}

TEST_F(RevLookupTest, AddressesOnTheIgnoreListArePassedOver) {
    engine.IgnoreList.Add("", TextToAddress("21.2.3.4"));
    const std::string line = "21.2.3.4 1.2.3.4";
    const FoundAddress found = FindAddressInLine(line, 0, &engine.IgnoreList);
    EXPECT_EQ(found.TextIn(line), "1.2.3.4");
    EXPECT_EQ(found.Position, 9u); // the tenth character
    EXPECT_EQ(RewriteLine(line), "21.2.3.4 n4.example");
    EXPECT_EQ(resolver.Calls("21.2.3.4"), 0);
}

TEST_F(RevLookupTest, DottedTextThatIsNoQuadIsNeitherLookedUpNorIgnored) {
    EXPECT_EQ(RewriteLine("999.1.1.1 x 1.2.3.4.example.net"), "999.1.1.1 x 1.2.3.4.example.net");
    EXPECT_EQ(RewriteLine("888.1.1.1 1.2.3.4"), "888.1.1.1 n4.example");
    EXPECT_EQ(resolver.TotalCalls(), 1);
    EXPECT_EQ(engine.IgnoreList.Count(), 0u);
}

TEST_F(RevLookupTest, ThreeFailuresThenNoMoreLookupsForThatAddress) {
    EXPECT_EQ(Rewrite("10.9.9.9 a\n10.9.9.9 b\r\n"), "10.9.9.9 a\r\n10.9.9.9 b\r\n");
    EXPECT_EQ(resolver.Calls("10.9.9.9"), 3);
    EXPECT_TRUE(engine.IgnoreList.Ignore(TextToAddress("10.9.9.9")));
    EXPECT_FALSE(engine.DNSCache.FindAddr(TextToAddress("10.9.9.9")).has_value());
    // A resolved address costs one lookup for the whole run.
    EXPECT_EQ(Rewrite("1.2.3.4\n1.2.3.4\n"), "n4.example\r\nn4.example\r\n");
    EXPECT_EQ(Rewrite("1.2.3.4\n"), "n4.example\r\n");
    EXPECT_EQ(resolver.Calls("1.2.3.4"), 1);
}

TEST_F(RevLookupTest, SubstitutionEndsForNamesHoldingAddressesAndEmptyNames) {
    resolver.Answer("9.9.9.9", ScriptedResolver::Record("9.9.9.9.example", {"9.9.9.9"}));
    EXPECT_EQ(RewriteLine("x 9.9.9.9 y 9.9.9.9"), "x 9.9.9.9.example y 9.9.9.9.example");
    engine.DNSCache.Add("", TextToAddress("7.7.7.7"));
    EXPECT_EQ(RewriteLine("7.7.7.7 1.2.3.4 7.7.7.7"), "7.7.7.7 n4.example 7.7.7.7");
    EXPECT_EQ(resolver.Calls("7.7.7.7"), 0);
}

TEST_F(RevLookupTest, IsDottedQuadReadsFourDecimalNumbers) {
    for (const char* quad : {"1.2.3.4", "012.0.0.255", "255.255.255.255"})
        EXPECT_TRUE(IsDottedQuad(quad)) << quad;
    for (const char* text : {"", "1.2.3", "1.2.3.4.5", "1.2.3.a", "1..2.3", "999.1.1.1",
                             "1.2.3.256", "0001.2.3.4", ".1.2.3", "1.2.3.4."})
        EXPECT_FALSE(IsDottedQuad(text)) << text;
}

struct BreakCase {
    const char* name;
    std::string input;
    std::string output;
};

TEST_F(RevLookupTest, CrLfALoneCrAndALoneLfEachEndOneLine) {
    const std::vector<BreakCase> cases = {
        {"CR LF", "a\r\nb\r\n", "a\r\nb\r\n"},
        {"CR LF, last unended", "a\r\nb", "a\r\nb\r\n"},
        {"LF", "a\nb\n", "a\r\nb\r\n"},
        {"CR", "a\rb", "a\r\nb\r\n"},
        {"lone LF after a CR line", "x\ra\nb\r", "x\r\na\r\nb\r\n"},
        {"lone CR after LF lines", "a\nb\rc\n", "a\r\nb\r\nc\r\n"},
        {"LF CR is two breaks", "a\n\rb", "a\r\n\r\nb\r\n"},
        {"CR CR LF", "a\r\r\nb", "a\r\n\r\nb\r\n"},
        {"CR LF split between two reads", std::string((1 << 20) - 1, 'x') + "\r\nb\n",
         std::string((1 << 20) - 1, 'x') + "\r\nb\r\n"},
        {"Ctrl-Z ends the input",
         std::string("a\r\nb\x1a"
                     "c\r\n"),
         "a\r\nb\r\n"},
        {"Ctrl-Z at a line start",
         std::string("a\n\x1a"
                     "b\n"),
         "a\r\n"},
        {"zero byte kept", std::string("a\0b\n", 4), std::string("a\0b\r\n", 5)},
        {"empty file", "", ""},
        {"break only", "\n", "\r\n"},
    };
    for (const auto& c : cases) {
        engine.TotalBytes = 0;
        EXPECT_EQ(Rewrite(c.input), c.output) << c.name;
        EXPECT_EQ(engine.TotalBytes.load(), static_cast<std::int64_t>(c.input.size())) << c.name;
    }
}

TEST_F(RevLookupTest, ProgressCountersAdvanceEveryTenthLine) {
    std::string input;
    for (int i = 1; i <= 25; ++i)
        input += (i == 11 || i == 21 ? "1.2.3.4abc" : "0123456789") + std::string("\r\n");
    WriteFile(dir / "in.log", input);
    // The writer waits at line 11 for its address; by then it has counted ten lines, no more.
    resolver.CloseGate();
    auto* w = new TRevLookup(engine, (dir / "in.log").string(), (dir / "in.rdns").string());
    w->OnTerminate = engine.ThreadManager.DoneHandler();
    w->Start();
    ASSERT_TRUE(WaitUntil([this] { return ReadFile(dir / "in.rdns").size() == 10 * 12; }));
    EXPECT_EQ(engine.ProcessedBytes.load(), 1 + 100);
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(resolver.TotalCalls(), 1); // cached by line 21
    EXPECT_EQ(engine.TotalBytes.load(), 25 * 12);
    EXPECT_EQ(engine.ProcessedBytes.load(), 1 + 200);
}

TEST_F(RevLookupTest, InputAndOutputErrorsEndTheJobAndAreKept) {
    const std::int64_t before = engine.TotalBytes.load();
    std::string error = Process(dir / "missing.log", dir / "missing.rdns");
    EXPECT_NE(error.find("missing.log"), std::string::npos) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;
    EXPECT_EQ(engine.TotalBytes.load(), before);
    EXPECT_FALSE(fs::exists(dir / "missing.rdns"));

    WriteFile(dir / "a.log", "1.2.3.4\n");
    error = Process(dir / "a.log", dir / "no-such-folder" / "a.rdns");
    EXPECT_NE(error.find("no-such-folder"), std::string::npos) << error;

    fs::create_directories(dir / "folder.log");
    error = Process(dir / "folder.log", dir / "folder.rdns");
    EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;

    // A file that opens but cannot be read, even by root.
    error = Process("/proc/self/mem", dir / "mem.rdns");
    EXPECT_NE(error.find("Cannot read /proc/self/mem"), std::string::npos) << error;
}

TEST_F(RevLookupTest, AFullDiskIsReportedAndTheOutputEndsOnACompleteLine) {
    // A file system of 1 MiB of our own, in the test environment's private mount namespace.
    if (!InTestDns())
        GTEST_SKIP() << TestDnsSkipReason();
    fs::create_directories(dir / "small");
    ASSERT_EQ(::mount("tmpfs", (dir / "small").c_str(), "tmpfs", 0, "size=1m"), 0);
    std::string big;
    for (int i = 0; i < 100000; ++i)
        big += "line " + std::to_string(i) + " 1.2.3.4\n";
    WriteFile(dir / "big.log", big);
    const std::string error = Process(dir / "big.log", dir / "small/big.rdns");
    const std::string out = ReadFile(dir / "small/big.rdns");
    ::umount((dir / "small").c_str());
    EXPECT_NE(error.find("small/big.rdns"), std::string::npos) << error;
    EXPECT_NE(error.find("No space left"), std::string::npos) << error;
    ASSERT_GT(out.size(), 500000u);
    ASSERT_EQ(out.substr(out.size() - 2), "\r\n");
    const std::string last = out.substr(out.rfind("\r\n", out.size() - 3) + 2);
    EXPECT_EQ(last, "line " + std::to_string(std::count(out.begin(), out.end(), '\n') - 1) +
                        " n4.example\r\n");
}

TEST_F(RevLookupTest, CompletedLinesReachTheDiskBeforeALookupThatMayNotReturn) {
    std::string input;
    for (int i = 0; i < 5000; ++i)
        input += "line " + std::to_string(i) + "\n";
    WriteFile(dir / "a.log", input + "10.20.30.40 never answered\nlast\n");
    resolver.CloseGate();
    auto* w = new TRevLookup(engine, (dir / "a.log").string(), (dir / "a.rdns").string());
    w->OnTerminate = engine.ThreadManager.DoneHandler();
    w->Start();
    // What a forced exit would leave: every completed line reaches the file, while the
    // lookup still has not returned.
    auto completed = [this] {
        const std::string onDisk = ReadFile(dir / "a.rdns");
        return std::count(onDisk.begin(), onDisk.end(), '\n');
    };
    ASSERT_TRUE(WaitUntil([this] { return resolver.Blocked() > 0; }));
    ASSERT_TRUE(WaitUntil([&] { return completed() == 5000; }));
    const std::string onDisk = ReadFile(dir / "a.rdns");
    engine.ThreadManager.StopAll();
    resolver.OpenGate();
    ASSERT_TRUE(WaitForRegistryEmpty());
    EXPECT_EQ(std::count(onDisk.begin(), onDisk.end(), '\n'), 5000);
    EXPECT_EQ(onDisk.substr(onDisk.size() - 11), "line 4999\r\n");
}

TEST_F(RevLookupTest, ANewOutputMayBeReadByWhomTheInputMayBe) {
    WriteFile(dir / "private.log", "1.2.3.4\n");
    fs::permissions(dir / "private.log", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Process(dir / "private.log", dir / "private.rdns"), "");
    EXPECT_EQ(fs::status(dir / "private.rdns").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(RevLookupTest, AnOutputThatIsASymbolicLinkIsNotWrittenThrough) {
    WriteFile(dir / "s.log", "1.2.3.4\n");
    WriteFile(dir / "other.txt", "keep me\n");
    fs::create_symlink(dir / "other.txt", dir / "s.rdns");
    const std::string error = Process(dir / "s.log", dir / "s.rdns");
    EXPECT_NE(error.find("symbolic link"), std::string::npos) << error;
    EXPECT_EQ(ReadFile(dir / "other.txt"), "keep me\n");
}

TEST_F(RevLookupTest, ManyAddressesInOneLongLineAreAllReplaced) {
    resolver.Fail("10.9.9.9", kErrHostNotFound);
    std::string line;
    std::string expected;
    for (int i = 0; i < 20000; ++i) {
        const bool known = i % 3 != 0;
        line += known ? "1.2.3.4 x " : "10.9.9.9 y ";
        expected += known ? "n4.example x " : "10.9.9.9 y ";
    }
    EXPECT_EQ(RewriteLine(line), expected);
    EXPECT_EQ(resolver.Calls("1.2.3.4"), 1);
    EXPECT_EQ(resolver.Calls("10.9.9.9"), 3);
}

TEST_F(RevLookupTest, StopIsSeenInsideAVeryLongLine) {
    WriteFile(dir / "long.log", std::string(8 << 20, 'x') + "\nnext\n");
    LogReader in((dir / "long.log").string());
    std::string line;
    char lineBreak = 0;
    int asked = 0;
    EXPECT_FALSE(ReadLogLine(in, line, lineBreak, [&asked] { return ++asked == 2; }));
    EXPECT_EQ(asked, 2);
    EXPECT_LT(line.size(), 4u << 20); // stopped after two buffers of the line, not at its end
}

TEST_F(RevLookupTest, NeverEmptiesTheInputThroughAnotherName) {
    WriteFile(dir / "a.log", "1.2.3.4\n");
    fs::create_hard_link(dir / "a.log", dir / "a.rdns");
    fs::create_symlink(dir / "a.log", dir / "b.rdns");
    EXPECT_NE(Process(dir / "a.log", dir / "a.rdns").find("input"), std::string::npos);
    EXPECT_NE(Process(dir / "a.log", dir / "b.rdns").find("input"), std::string::npos);
    EXPECT_NE(Process(dir / "a.log", dir / "a.log").find("input"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "a.log"), "1.2.3.4\n");
}

TEST_F(RevLookupTest, StopMidwayLeavesCompleteLinesAndClosedFiles) {
    resolver.CloseGate();
    WriteFile(dir / "a.log", "one\ntwo\nthree 1.2.3.4\nfour\nfive\n");
    auto* w = new TRevLookup(engine, (dir / "a.log").string(), (dir / "a.rdns").string());
    bool stopped = false;
    w->OnTerminate = [&](TWorker* worker) {
        stopped = static_cast<TRevLookup*>(worker)->Stopped;
        engine.ThreadManager.ThreadDone(worker);
    };
    w->Start();
    // The writer hands its completed lines to the system before it waits for the lookup.
    ASSERT_TRUE(WaitUntil([this] { return ReadFile(dir / "a.rdns") == "one\r\ntwo\r\n"; }));
    engine.ThreadManager.StopAll();
    // The worker ends without waiting for the lookup; its line stays as it was.
    ASSERT_TRUE(WaitForRegistryEmpty());
    resolver.OpenGate();
    EXPECT_TRUE(stopped);
    EXPECT_EQ(ReadFile(dir / "a.rdns"), "one\r\ntwo\r\nthree 1.2.3.4\r\n");
    // Closed: the output can be removed and the folder with it.
    EXPECT_TRUE(fs::remove(dir / "a.rdns"));
}

TEST_F(RevLookupTest, SeveralRewritersShareTheCacheAndCountersSumExactly) {
    int notices = 0;
    engine.ThreadManager.OnAllFileJobsFinished = [&] { ++notices; };
    resolver.SetDelay(1ms);
    constexpr int kFiles = 4;
    std::int64_t size = 0;
    std::int64_t processed = 1;
    std::vector<std::string> expected(kFiles);
    for (int f = 0; f < kFiles; ++f) {
        std::string in;
        const int lines = 995 + f;
        std::int64_t pending = 0;
        for (int i = 0; i < lines; ++i) {
            const std::string address = "10.7." + std::to_string(i % 50) + "." + std::to_string(f);
            const std::string known = (i % 3 == 0) ? "1.2.3.4" : "5.6.7.8";
            const std::string line = address + " - " + known + " GET /x.html";
            in += line + "\n";
            expected[f] +=
                address + " - " + (i % 3 == 0 ? "n4.example" : "n8.example") + " GET /x.html\r\n";
            pending += static_cast<std::int64_t>(line.size());
            if ((i + 1) % 10 == 0) {
                processed += pending;
                pending = 0;
            }
        }
        size += static_cast<std::int64_t>(in.size());
        WriteFile(dir / ("f" + std::to_string(f) + ".log"), in);
    }
    for (int f = 0; f < kFiles; ++f) {
        auto* w = new TRevLookup(engine, (dir / ("f" + std::to_string(f) + ".log")).string(),
                                 (dir / ("f" + std::to_string(f) + ".rdns")).string());
        w->OnTerminate = engine.ThreadManager.DoneHandler();
        w->Start();
    }
    ASSERT_TRUE(WaitForRegistryEmpty(120s));
    EXPECT_EQ(notices, 1);
    EXPECT_EQ(engine.TotalBytes.load(), size);
    EXPECT_EQ(engine.ProcessedBytes.load(), processed);
    for (int f = 0; f < kFiles; ++f)
        EXPECT_EQ(ReadFile(dir / ("f" + std::to_string(f) + ".rdns")), expected[f]) << f;
    // Shared knowledge: an unresolvable address fails three times for all four workers.
    EXPECT_EQ(resolver.Calls("10.7.0.0"), 3);
}

class RevLookupDnsTest : public RevLookupTest {
protected:
    void SetUp() override {
        RevLookupTest::SetUp();
        REQUIRE_TEST_DNS();
        engine.Resolver.SetResolver(nullptr);
    }
};

TEST_F(RevLookupDnsTest, CombinedFormatLogAgainstTheTestServer) {
    const char* agents[] = {
        "Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0", "curl/7.88.1",
        "Wget/1.21.3"};
    std::string in;
    std::string expected;
    for (int i = 0; i < 60; ++i) {
        const int octet = (i % 3 == 2) ? 90 + i % 7 : 1 + i % 10; // 1-10 resolve, 90-96 do not
        const std::string address = "192.0.2." + std::to_string(octet);
        const std::string name =
            octet <= 10 ? "host-" + std::to_string(octet) + ".hm.test" : address;
        const std::string rest = " - - [07/Dec/2026:10:00:" + std::to_string(10 + i % 50) +
                                 " +0000] \"GET /docs/v1.2/page" + std::to_string(i) +
                                 ".html HTTP/1.1\" 200 " + std::to_string(1000 + i) +
                                 " \"http://192.0.2.30/ref\" \"" + agents[i % 3] + "\"";
        in += address + rest + "\n";
        std::string rewritten = rest;
        rewritten.replace(rewritten.find("192.0.2.30"), 10, "192.0.2.30.hm.test");
        expected += name + rewritten + "\r\n";
    }
    EXPECT_EQ(Rewrite(in), expected);
}

// A dual-stack log against the test server: IPv6 clients and referrers are replaced only with
// IPv6 on, the serial rewriter and the look-ahead alike, and the IPv4 rule's part is the same.
TEST_F(RevLookupDnsTest, DualStackLogWithIPv6OffAndOnSerialAndAhead) {
    const std::string rest = " - - [07/Dec/2026:10:00:01 +0000] \"GET /a HTTP/1.1\" 200 5 ";
    const std::string agent = "\"Mozilla/5.0 Chrome/120.0.0.0 Safari/537.36\"";
    const std::string in = "2001:db8::40" + rest + "\"http://[2001:db8::1]/ref\" " + agent +
                           "\n" +                                                            //
                           "192.0.2.40" + rest + "\"-\" " + agent + "\n" +                   //
                           "2001:DB8::41" + rest + "\"http://192.0.2.3/\" " + agent + "\n" + //
                           "2001:db8::99" + rest + "\"-\" \"curl/8.0\"\n" +                  //
                           "::ffff:192.0.2.1" + rest + "\"-\" \"fe80::1%eth0 10:00:01\"\n";
    const std::string off =
        "2001:db8::40" + rest + "\"http://[2001:db8::1]/ref\" " + agent + "\r\n" + //
        "dual.hm.test" + rest + "\"-\" " + agent + "\r\n" +                        //
        "2001:DB8::41" + rest + "\"http://host-3.hm.test/\" " + agent + "\r\n" +   //
        "2001:db8::99" + rest + "\"-\" \"curl/8.0\"\r\n" +                         //
        "::ffff:host-1.hm.test" + rest + "\"-\" \"fe80::1%eth0 10:00:01\"\r\n";
    std::string on = off;
    for (const auto& [address, name] :
         std::vector<std::pair<std::string, std::string>>{{"2001:db8::40", "dual.hm.test"},
                                                          {"[2001:db8::1]", "[v6only.hm.test]"},
                                                          {"2001:DB8::41", "dual.hm.test"}})
        on.replace(on.find(address), address.size(), name);
    WriteFile(dir / "dual.log", in);
    for (const bool ipv6 : {false, true}) {
        for (const int limit : {0, 8}) {
            EngineRuntime fresh;
            fresh.Resolver.ResolverStartup();
            fresh.LookupPool.SetLimit(limit);
            fresh.ResolveIPv6 = ipv6;
            {
                LogReader reader((dir / "dual.log").string());
                LogWriter writer((dir / "dual.rdns").string(), (dir / "dual.log").string());
                char lineBreak = 0;
                RewriteLog(fresh, reader, writer, lineBreak, [] { return false; });
                writer.Close();
            }
            EXPECT_EQ(ReadFile(dir / "dual.rdns"), ipv6 ? on : off) << ipv6 << " " << limit;
        }
    }
}

// A log emptied for rotation while it is read (cut here between two reads): the job fails,
// and the output holds the lines read whole before the cut, never the one cut through, with
// and without the look-ahead alike.
TEST_F(RevLookupTest, AnInputCutWhileItIsReadFailsAndKeepsOnlyWholeLines) {
    std::string log;
    for (int i = 0; log.size() < (3u << 20); ++i)
        log += "1.2.3.4 - line " + std::to_string(i) + "\n";
    const std::size_t cut = (3u << 19) + 7; // inside a line of the second read
    const std::size_t whole = log.rfind('\n', cut) + 1;
    std::string expected;
    for (std::size_t at = 0; at < whole;) {
        const std::size_t end = log.find('\n', at);
        expected += "n4.example" + log.substr(at + 7, end - at - 7) + "\r\n";
        at = end + 1;
    }
    using Reading = EngineRuntime::LineReading;
    for (const auto& [limit, reading] :
         {std::pair{0, Reading::SameThread}, std::pair{8, Reading::SameThread},
          std::pair{8, Reading::OwnThread}}) {
        SCOPED_TRACE(limit);
        WriteFile(dir / "cut.log", log);
        engine.LookupPool.SetLimit(limit);
        engine.ReadLines = reading;
        std::string error;
        {
            LogReader in((dir / "cut.log").string());
            in.SetBetweenReads([&] { fs::resize_file(dir / "cut.log", cut); });
            LogWriter out((dir / "cut.rdns").string(), (dir / "cut.log").string());
            char lineBreak = 0;
            try {
                RewriteLog(engine, in, out, lineBreak, [] { return false; });
            } catch (const IoError& e) {
                error = e.what();
            }
            out.Close();
        }
        EXPECT_NE(error.find("became shorter while it was read"), std::string::npos) << error;
        EXPECT_EQ(ReadFile(dir / "cut.rdns"), expected);
    }
}

// With names checked, a name replaces its address only if it points back to it, against the
// test server: the serial rewriter and the look-ahead give the same bytes. Without, every name
// does.
TEST_F(RevLookupDnsTest, OnlyNamesThatPointBackReplaceTheirAddressesWhenChecked) {
    const struct {
        const char* address;
        const char* checked; // the line with names checked
        const char* plain;   // without
    } table[] = {
        {"192.0.2.1", "host-1.hm.test", "host-1.hm.test"}, // its own name
        {"192.0.2.12", "multi.hm.test", "multi.hm.test"},  // one of three addresses
        {"192.0.2.66", "192.0.2.66", "crawl.hm.test"},     // a name with other addresses
        {"192.0.2.67", "192.0.2.67", "ghost.hm.test"},     // a name that does not exist
        {"192.0.2.69", "192.0.2.69", "slow.down.hm.test"}, // its zone does not answer
        {"2001:db8::40", "dual.hm.test", "dual.hm.test"},  // IPv6, its own name
        {"[2001:db8::66]:80", "[2001:db8::66]:80", "[crawl.hm.test]:80"}, // IPv6, forged
    };
    std::string in;
    std::string checked;
    std::string plain;
    for (const auto& row : table) {
        in += std::string("x ") + row.address + " y\n";
        checked += std::string("x ") + row.checked + " y\r\n";
        plain += std::string("x ") + row.plain + " y\r\n";
    }
    WriteFile(dir / "v.log", in);
    for (const bool verify : {true, false}) {
        for (const int limit : {0, TLookupPool::kAutomatic}) {
            SCOPED_TRACE(std::to_string(verify) + " " + std::to_string(limit));
            EngineRuntime fresh;
            fresh.Resolver.ResolverStartup();
            fresh.LookupPool.SetLimit(limit);
            fresh.ResolveIPv6 = true;
            fresh.VerifyNames = verify;
            char lineBreak = 0;
            fresh.TotalBytes = 0;
            RewriteFile(fresh, (dir / "v.log").string(), (dir / "v.rdns").string(), lineBreak,
                        [] { return false; });
            EXPECT_EQ(ReadFile(dir / "v.rdns"), verify ? checked : plain);
            EXPECT_EQ(fresh.Confirmations.NotConfirmed(), verify ? 4u : 0u);
        }
    }
}
