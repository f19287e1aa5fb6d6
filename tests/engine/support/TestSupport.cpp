#include "TestSupport.h"

#include "RevLookup.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace hostmoor::test {

ScriptedResolver::ScriptedResolver() = default;

ScriptedResolver::~ScriptedResolver() {
    OpenGate();
}

HostRecord ScriptedResolver::Record(const std::string& name,
                                    const std::vector<std::string>& addresses,
                                    const std::vector<std::string>& aliases) {
    HostRecord record;
    record.Name = name;
    record.Aliases = aliases;
    for (const auto& a : addresses) {
        Address6 v6;
        if (TextToAddress6(a, v6))
            record.Addresses6.push_back(v6);
        else
            record.Addresses.push_back(TextToAddress(a));
    }
    return record;
}

void ScriptedResolver::Answer(const std::string& key, HostRecord record) {
    Script(key, {LookupOutcome{std::move(record), 0}});
}

void ScriptedResolver::Fail(const std::string& key, int code) {
    Script(key, {LookupOutcome{std::nullopt, code}});
}

void ScriptedResolver::Script(const std::string& key, std::vector<LookupOutcome> outcomes) {
    std::lock_guard guard(fLock);
    fScripts[key] = std::move(outcomes);
}

void ScriptedResolver::CloseGate() {
    std::lock_guard guard(fLock);
    fGateOpen = false;
}

void ScriptedResolver::OpenGate() {
    {
        std::lock_guard guard(fLock);
        fGateOpen = true;
    }
    fGateChanged.notify_all();
}

int ScriptedResolver::Calls(const std::string& key) const {
    std::lock_guard guard(fLock);
    auto it = fCalls.find(key);
    return it == fCalls.end() ? 0 : it->second;
}

LookupOutcome ScriptedResolver::ByName(const std::string& name) {
    LookupOutcome outcome = Lookup(name);
    if (outcome.Host && outcome.Host->Addresses.empty())
        return {std::nullopt, kErrNoData};
    return outcome;
}

LookupOutcome ScriptedResolver::ByAddress(Address address) {
    return Lookup(AddressToText(address));
}

LookupOutcome ScriptedResolver::ByAddress6(const Address6& address) {
    return Lookup(Address6ToText(address));
}

LookupOutcome ScriptedResolver::ByName6(const std::string& name) {
    LookupOutcome outcome = Lookup(std::string(kAAAA) + name);
    if (outcome.Host && outcome.Host->Addresses6.empty())
        return {std::nullopt, kErrNoData};
    return outcome;
}

LookupOutcome ScriptedResolver::AddressesOf(const std::string& name, bool v6) {
    const std::string key = std::string(v6 ? kAAAA : kA) + name;
    {
        // A name scripted only as a reverse answer has the addresses of that answer.
        std::lock_guard guard(fLock);
        if (!fScripts.count(key) && !fScripts.count(name)) {
            for (const auto& [scripted, outcomes] : fScripts) {
                if (!outcomes.empty() && outcomes.front().Host &&
                    outcomes.front().Host->Name == name) {
                    fScripts[key] = {outcomes.front()};
                    break;
                }
            }
        }
    }
    LookupOutcome outcome = Lookup(key);
    if (outcome.Host) {
        if (v6)
            outcome.Host->Addresses.clear();
        else
            outcome.Host->Addresses6.clear();
        if (outcome.Host->Addresses.empty() && outcome.Host->Addresses6.empty())
            return {std::nullopt, kErrNoData};
    }
    return outcome;
}

void ScriptedResolver::SetRandomDelay(std::chrono::microseconds most, unsigned seed) {
    std::lock_guard guard(fLock);
    fRandomDelay = most;
    fRandom.seed(seed);
}

LookupOutcome ScriptedResolver::Lookup(const std::string& key) {
    if (OnLookup)
        OnLookup(key);
    const int atOnce = ++fAtOnce;
    for (int most = fMostAtOnce.load();
         atOnce > most && !fMostAtOnce.compare_exchange_weak(most, atOnce);) {
    }
    struct Leave {
        std::atomic<int>& count;
        ~Leave() { --count; }
    } leave{fAtOnce};
    std::unique_lock lock(fLock);
    ++fTotal;
    const int call = fCalls[key]++;
    if (!fGateOpen) {
        ++fBlocked;
        fGateChanged.wait(lock, [this] { return fGateOpen; });
        --fBlocked;
    }
    LookupOutcome outcome{std::nullopt, kErrHostNotFound};
    auto it = fScripts.find(key);
    if (it == fScripts.end() && key.rfind(kAAAA, 0) == 0)
        it = fScripts.find(key.substr(kAAAA.size()));
    else if (it == fScripts.end() && key.rfind(kA, 0) == 0)
        it = fScripts.find(key.substr(kA.size()));
    if (it != fScripts.end() && !it->second.empty())
        outcome = it->second[std::min<std::size_t>(call, it->second.size() - 1)];
    auto delay = std::chrono::duration_cast<std::chrono::microseconds>(fDelay);
    if (fRandomDelay.count() > 0)
        delay += std::chrono::microseconds(fRandom() % fRandomDelay.count());
    lock.unlock();
    if (delay.count() > 0)
        std::this_thread::sleep_for(delay);
    return outcome;
}

MainThreadQueue::MainThreadQueue(EngineRuntime& engine) : fEngine(engine) {
    fEngine.SetMainThreadHook([this](const std::function<void()>& call) { Submit(call); });
}

MainThreadQueue::~MainThreadQueue() {
    fEngine.SetMainThreadHook(nullptr);
    {
        std::lock_guard guard(fLock);
        fClosed = true;
    }
    fChanged.notify_all();
    // Waiting workers leave without their call; wait until none still refers to us.
    std::unique_lock lock(fLock);
    fChanged.wait(lock, [this] { return fSubmitters == 0; });
}

void MainThreadQueue::Submit(const std::function<void()>& call) {
    Item item{call};
    std::unique_lock lock(fLock);
    if (fClosed)
        return;
    ++fSubmitters;
    fItems.push_back(&item);
    fChanged.notify_all();
    fChanged.wait(lock, [&] { return item.Done || fClosed; });
    if (!item.Done)
        std::erase(fItems, &item);
    --fSubmitters;
    fChanged.notify_all();
}

int MainThreadQueue::Drain() {
    int ran = 0;
    for (;;) {
        Item* item = nullptr;
        {
            std::lock_guard guard(fLock);
            if (fItems.empty())
                return ran;
            item = fItems.front();
            fItems.pop_front();
        }
        item->Call();
        ++ran;
        {
            std::lock_guard guard(fLock);
            item->Done = true;
        }
        fChanged.notify_all();
    }
}

bool MainThreadQueue::DrainUntil(const std::function<bool()>& pred,
                                 std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Drain();
        if (pred())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::unique_lock lock(fLock);
        fChanged.wait_for(lock, std::chrono::milliseconds(10), [this] { return !fItems.empty(); });
    }
}

int MainThreadQueue::Pending() const {
    std::lock_guard guard(fLock);
    return static_cast<int>(fItems.size());
}

CountingSleep::CountingSleep(EngineRuntime& engine, int realMilliseconds) : fEngine(engine) {
    fEngine.Clock.SetSleepFunction([this, realMilliseconds](int milliseconds) {
        {
            std::lock_guard guard(fLock);
            ++fSleeps[milliseconds];
        }
        if (realMilliseconds > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(realMilliseconds));
        else
            std::this_thread::yield();
    });
}

CountingSleep::~CountingSleep() {
    fEngine.Clock.SetSleepFunction(nullptr);
}

int CountingSleep::Count(int milliseconds) const {
    std::lock_guard guard(fLock);
    auto it = fSleeps.find(milliseconds);
    return it == fSleeps.end() ? 0 : it->second;
}

void EngineFixture::SetUp() {
    engine.Resolver.ResolverStartup();
}

void EngineFixture::TearDown() {
    engine.ThreadManager.StopAll();
    resolver.OpenGate();
    EXPECT_TRUE(WaitForRegistryEmpty()) << "workers left at the end of the test";
}

bool EngineFixture::WaitForRegistryEmpty(std::chrono::milliseconds timeout) {
    return mainThread.DrainUntil([this] { return engine.ThreadManager.ThreadCount() == 0; },
                                 timeout);
}

std::vector<std::string> EngineFixture::TakeResults() {
    return engine.LookupResults.Take();
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

void FileFixture::SetUp() {
    EngineFixture::SetUp();
    dir = std::filesystem::temp_directory_path() /
          ("hostmoor-" + std::to_string(::getpid()) + "-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
}

void FileFixture::TearDown() {
    EngineFixture::TearDown();
    std::filesystem::remove_all(dir);
}

std::string FileFixture::Process(const std::filesystem::path& in,
                                 const std::filesystem::path& out) {
    auto* w = new TRevLookup(engine, in.string(), out.string());
    std::string error;
    w->OnTerminate = [this, &error](TWorker* worker) {
        error = worker->FatalError();
        engine.ThreadManager.ThreadDone(worker);
    };
    w->Start();
    EXPECT_TRUE(WaitForRegistryEmpty());
    return error;
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool InTestDns() {
    const char* v = std::getenv("HOSTMOOR_TESTDNS");
    return v && std::string(v) == "1";
}

std::string TestDnsSkipReason() {
    const char* v = std::getenv("HOSTMOOR_TESTDNS_SKIP");
    return std::string("no test DNS server: ") +
           (v ? v : "not started through tests/testdns/run.sh");
}

} // namespace hostmoor::test
