// Test doubles for the engine's seams: a scripted resolver, a main-thread queue for
// completion handlers, a counting sleep, and the test DNS environment check.
#pragma once

#include "EngineRuntime.h"
#include "Resolver.h"
#include "Worker.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace hostmoor::test {

// Answers and error codes by name or by dotted address. A key's outcomes are given in turn;
// the last one repeats. Unknown keys fail with 11001. A gate makes lookups block until it
// is opened.
class ScriptedResolver final : public IResolver {
public:
    ScriptedResolver();
    ~ScriptedResolver() override;

    void Answer(const std::string& key, HostRecord record);
    void Fail(const std::string& key, int code);
    void Script(const std::string& key, std::vector<LookupOutcome> outcomes);
    void SetDelay(std::chrono::milliseconds delay) { fDelay = delay; }
    // Each lookup waits a random time up to this, so that answers come out of order.
    void SetRandomDelay(std::chrono::microseconds most, unsigned seed);
    // Called with the key at the start of every lookup, on the worker's thread.
    std::function<void(const std::string&)> OnLookup;

    void CloseGate();
    void OpenGate();
    int Blocked() const { return fBlocked.load(); }

    int Calls(const std::string& key) const;
    int TotalCalls() const { return fTotal.load(); }
    // The most lookups that were in progress at once.
    int MostAtOnce() const { return fMostAtOnce.load(); }

    // A name's record serves both families: ByName gives "No data" when it has IPv6 addresses
    // only, ByName6 when it has IPv4 ones only. ByName6 is counted under "AAAA " and the name,
    // and scripted so too if the name's own script is not to serve. Reverse IPv6 keys are in
    // RFC 5952 form.
    static constexpr std::string_view kAAAA = "AAAA ";
    static constexpr std::string_view kA = "A ";
    LookupOutcome ByName(const std::string& name) override;
    LookupOutcome ByAddress(Address address) override;
    LookupOutcome ByAddress6(const Address6& address) override;
    LookupOutcome ByName6(const std::string& name) override;
    // Counted under "A " or "AAAA " and the name; scripted so too, or else served from the
    // name's own record, or else from the reverse answer that gives the name.
    LookupOutcome AddressesOf(const std::string& name, bool v6) override;

    // Addresses of either family.
    static HostRecord Record(const std::string& name, const std::vector<std::string>& addresses,
                             const std::vector<std::string>& aliases = {});

private:
    LookupOutcome Lookup(const std::string& key);

    mutable std::mutex fLock;
    std::condition_variable fGateChanged;
    bool fGateOpen = true;
    std::atomic<int> fBlocked{0};
    std::atomic<int> fTotal{0};
    std::atomic<int> fAtOnce{0};
    std::atomic<int> fMostAtOnce{0};
    std::chrono::microseconds fRandomDelay{0};
    std::mt19937 fRandom;
    std::map<std::string, std::vector<LookupOutcome>> fScripts;
    std::map<std::string, int> fCalls;
    std::chrono::milliseconds fDelay{0};
};

// Stands for the main thread: workers' completion handlers wait here until the test drains.
class MainThreadQueue {
public:
    explicit MainThreadQueue(EngineRuntime& engine); // installs itself as the main-thread hook
    ~MainThreadQueue(); // uninstalls, releasing waiting workers without running their calls

    int Drain(); // runs every waiting call on the calling thread
    // Drains until pred() holds or the timeout passes; gives pred().
    bool DrainUntil(const std::function<bool()>& pred,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30));
    int Pending() const;

private:
    struct Item {
        std::function<void()> Call;
        bool Done = false;
    };
    void Submit(const std::function<void()>& call);

    EngineRuntime& fEngine;
    mutable std::mutex fLock;
    std::condition_variable fChanged;
    std::deque<Item*> fItems;
    bool fClosed = false;
    int fSubmitters = 0; // workers inside Submit
};

// Replaces the engine's pauses with ones that only count (and optionally really sleep a
// little, so that other threads get on); restores the real pause when destroyed.
class CountingSleep {
public:
    explicit CountingSleep(EngineRuntime& engine, int realMilliseconds = 0);
    ~CountingSleep();
    int Count(int milliseconds) const;

private:
    EngineRuntime& fEngine;
    mutable std::mutex fLock;
    std::map<int, int> fSleeps;
};

// An engine for one test, with the scripted resolver and the main-thread queue.
class EngineFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Waits (draining the queue) for the registry to empty.
    bool WaitForRegistryEmpty(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    std::vector<std::string> TakeResults();

    ScriptedResolver resolver;
    EngineRuntime engine{&resolver};
    MainThreadQueue mainThread{engine};
};

// A file's bytes, and a file made of bytes.
std::string ReadFile(const std::filesystem::path& path);
void WriteFile(const std::filesystem::path& path, const std::string& bytes);

// An engine fixture with a fresh folder of the test's own, removed afterwards.
class FileFixture : public EngineFixture {
protected:
    void SetUp() override;
    void TearDown() override;
    // Rewrites `in` to `out` as a batch's worker does, and waits for its completion handler;
    // gives the error it kept.
    std::string Process(const std::filesystem::path& in, const std::filesystem::path& out);
    std::filesystem::path dir;
};

// Polls pred until it holds or the timeout passes; gives pred(). A fault shows as a failure,
// not a hang.
bool WaitUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(10));

bool InTestDns();
std::string TestDnsSkipReason();

} // namespace hostmoor::test

// Skips a test that needs the test DNS server when it is not there, saying why.
#define REQUIRE_TEST_DNS()                                                                         \
    do {                                                                                           \
        if (!::hostmoor::test::InTestDns())                                                        \
            GTEST_SKIP() << ::hostmoor::test::TestDnsSkipReason();                                 \
    } while (0)
